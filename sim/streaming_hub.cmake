# The sim's streaming hub as a library of its own, for suites and benchmarks that run it
# in-process. Included by each user; defined once.
if(NOT TARGET tolbu_sim_hub)
  add_library(tolbu_sim_hub STATIC ${PROJECT_SOURCE_DIR}/sim/streaming_hub.cpp)
  target_include_directories(tolbu_sim_hub PUBLIC ${PROJECT_SOURCE_DIR}/sim)
  target_link_libraries(tolbu_sim_hub PUBLIC Boost::json OpenSSL::SSL OpenSSL::Crypto
    Threads::Threads)
  tolbu_apply_flags(tolbu_sim_hub)
endif()
