add_dependencies(${_target} quorvel)
target_compile_definitions(${_target} PRIVATE QUORVEL_EXECUTABLE="$<TARGET_FILE:quorvel>")
