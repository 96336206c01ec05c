target_sources(${_target} PRIVATE ${PROJECT_SOURCE_DIR}/core/http/ZRHTTPBandwidth.cpp
  ${PROJECT_SOURCE_DIR}/core/http/ZRDataDecompressor.cpp ${PROJECT_SOURCE_DIR}/core/http/ZRDataCompressor.cpp
  ${PROJECT_SOURCE_DIR}/core/http/ZRHTTPInputStream.cpp ${PROJECT_SOURCE_DIR}/core/http/ZRHTTPError.cpp)
target_link_libraries(${_target} PRIVATE ZLIB::ZLIB CURL::libcurl)
