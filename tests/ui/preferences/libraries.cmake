find_package(Qt6 REQUIRED COMPONENTS Test)
target_link_libraries(${_target} PRIVATE quorvel_ui Qt6::Test)
target_compile_definitions(${_target} PRIVATE QUORVEL_DOCS_DIR="${PROJECT_SOURCE_DIR}/docs"
  QUORVEL_SCREENSHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}/screenshots")
