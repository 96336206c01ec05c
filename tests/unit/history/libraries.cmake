target_link_libraries(${_target} PRIVATE quorvel_text Qt6::DBus)
