target_link_libraries(${_target} PRIVATE quorvel_control quorvel_headless)
