add_dependencies(${_target} quorvel quorvel-extension-host)
target_compile_definitions(${_target} PRIVATE QUORVEL_EXECUTABLE="$<TARGET_FILE:quorvel>"
  QUORVEL_EXTENSION_HOST="$<TARGET_FILE:quorvel-extension-host>"
  QUORVEL_BUILD_DIR="${PROJECT_BINARY_DIR}" QUORVEL_CMAKE="${CMAKE_COMMAND}")
