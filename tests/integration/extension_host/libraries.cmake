add_dependencies(${_target} quorvel-extension-host)
target_compile_definitions(${_target} PRIVATE QUORVEL_EXTENSION_HOST="$<TARGET_FILE:quorvel-extension-host>")
target_link_libraries(${_target} PRIVATE quorvel_foundation Qt6::DBus)
