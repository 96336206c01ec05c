target_link_libraries(${_target} PRIVATE quorvel_control Qt6::DBus)
