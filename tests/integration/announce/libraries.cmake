target_link_libraries(${_target} PRIVATE quorvel_announce Qt6::Gui Qt6::DBus)
