target_link_libraries(${_target} PRIVATE quorvel_http quorvel_download quorvel_control)
target_compile_definitions(${_target} PRIVATE ZR_HTTP_TEST_DIR="${dir}")
add_dependencies(${_target} quorvel-pac-runner)
target_compile_definitions(${_target} PRIVATE QUORVEL_PAC_RUNNER="$<TARGET_FILE:quorvel-pac-runner>")
