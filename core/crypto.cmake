# Cipher, digest and checksum primitives on OpenSSL 3.
add_library(ztpu_crypto STATIC ${CMAKE_CURRENT_LIST_DIR}/crypto.cpp)
target_include_directories(ztpu_crypto PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ztpu_crypto PUBLIC ztpu_log ztpu_secret PRIVATE OpenSSL::Crypto)
