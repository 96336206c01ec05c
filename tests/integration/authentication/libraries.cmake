target_link_libraries(${_target} PRIVATE quorvel_download quorvel_http quorvel_control)
