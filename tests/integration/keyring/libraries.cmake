target_link_libraries(${_target} PRIVATE quorvel_platform quorvel_http)
