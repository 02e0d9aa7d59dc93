# Seed files, otpauth URIs and random secrets.
target_sources(sources PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/seed_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/otpauth.cpp
  ${CMAKE_CURRENT_LIST_DIR}/random_seed.cpp)
target_link_libraries(sources PRIVATE OpenSSL::Crypto)
target_link_libraries(sources PUBLIC pskc)
