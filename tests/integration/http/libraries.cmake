target_link_libraries(${_target} PRIVATE quorvel_http quorvel_download quorvel_control)
target_compile_definitions(${_target} PRIVATE ZR_HTTP_TEST_DIR="${dir}")
