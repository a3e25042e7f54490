# Security module: device store, key tables and the code plug-in, ticket and
# record cryptography, provisioning.
add_library(ztpu_security STATIC
  ${CMAKE_CURRENT_LIST_DIR}/keyfilehandle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/security.cpp
  ${CMAKE_CURRENT_LIST_DIR}/security_cipher.cpp)
target_include_directories(ztpu_security PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ztpu_security PUBLIC ztpu_crypto ztpu_fileio ztpu_log Threads::Threads ${CMAKE_DL_LIBS})
