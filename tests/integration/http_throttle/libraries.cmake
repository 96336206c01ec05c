target_link_libraries(${_target} PRIVATE quorvel_http quorvel_foundation CURL::libcurl)
target_compile_definitions(${_target} PRIVATE ZR_THROTTLE_TEST_DIR="${dir}")
