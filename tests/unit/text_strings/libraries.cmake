target_link_libraries(${_target} PRIVATE quorvel_text PkgConfig::ICU)
