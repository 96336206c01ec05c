target_link_libraries(${_target} PRIVATE quorvel_foundation PkgConfig::PLIST)
