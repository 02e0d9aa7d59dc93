target_sources(sources PRIVATE otpauth.cpp)
