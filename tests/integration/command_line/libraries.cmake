add_dependencies(${_target} quorvel)
target_compile_definitions(${_target} PRIVATE QUORVEL_EXECUTABLE="$<TARGET_FILE:quorvel>")
target_link_libraries(${_target} PRIVATE quorvel_foundation)
target_link_libraries(${_target} PRIVATE Qt6::DBus)
