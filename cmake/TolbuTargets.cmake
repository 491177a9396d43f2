# Helpers shared by every target of the SDK.

set(TOLBU_INCLUDE_DIR "${PROJECT_SOURCE_DIR}/include")
set_property(GLOBAL PROPERTY TOLBU_SDK_LIBRARIES "")

function(tolbu_apply_flags target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(TOLBU_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# tolbu_batch_sources(<target>)
# Compiles the target's sources eight at a time when TOLBU_UNITY_BUILD is on: for targets of
# several sources that parse the same heavy headers, most of their compile time. The sources'
# helpers in unnamed namespaces then need names of their own within the target; a build with
# the option off (the sanitizer pass) still compiles every source alone.
function(tolbu_batch_sources target)
  if(TOLBU_UNITY_BUILD)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
    # GCC takes a type from an unnamed namespace in a batched source for one from a header.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -Wno-subobject-linkage)
    endif()
  endif()
endfunction()

if(TOLBU_TSAN)
  if(TOLBU_SANITIZE)
    message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
  endif()
  # -O1 keeps the instrumented code quick enough for the network suites' deadlines.
  add_compile_options(-fsanitize=thread -O1 -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  # Asio's handler fences: g++ warns that the sanitizer ignores them; the scheduler's own locks
  # and atomics, which it does see, are what order the handlers.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-tsan)
  endif()
endif()

if(TOLBU_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# tolbu_library(<name> SOURCES ... [PUBLIC_DEPS ...] [PRIVATE_DEPS ...] [UNBATCHED])
# One shared library of the SDK, exported as tolbu_sdk::<name> and linked into tolbu_sdk::sdk.
# Its sources compile in batches unless UNBATCHED: heavy sources split to build in parallel, or
# code that runs slower when batched.
function(tolbu_library name)
  cmake_parse_arguments(ARG "UNBATCHED" "" "SOURCES;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  add_library(tolbu_sdk::${name} ALIAS ${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${TOLBU_INCLUDE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    CXX_VISIBILITY_PRESET hidden)
  # Only the API marked TOLBU_API is exported; the map hides what Boost marks visible
  # (Asio all of itself, the rest its exceptions and error categories).
  target_link_options(${name} PRIVATE
    "LINKER:--version-script=${PROJECT_SOURCE_DIR}/cmake/hide_boost.map")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/hide_boost.map)
  tolbu_apply_flags(${name})
  if(NOT ARG_UNBATCHED)
    tolbu_batch_sources(${name})
  endif()
  install(TARGETS ${name} EXPORT tolbu_sdkTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY TOLBU_SDK_LIBRARIES ${name})
endfunction()

# tolbu_test(<name> SOURCES ... DEPS ... [LABELS ...])
# One GoogleTest program registered with CTest; local times are read in UTC.
function(tolbu_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  tolbu_apply_flags(${name})
  tolbu_batch_sources(${name})
  # GCC 12 at -O3 warns falsely on std::string concatenations the tests use freely (GCC bug
  # 105651); the SDK's own code is built with the warning on.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${name} PRIVATE -Wno-restrict)
  endif()
  include(GoogleTest)
  gtest_discover_tests(${name}
    PROPERTIES ENVIRONMENT "TZ=UTC" LABELS "${ARG_LABELS}"
    DISCOVERY_TIMEOUT 60)
endfunction()

# tolbu_bench(<name> SOURCES ... DEPS ...)
function(tolbu_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark Threads::Threads)
  tolbu_apply_flags(${name})
endfunction()

# The umbrella target tolbu_sdk::sdk links every library of the SDK.
function(tolbu_finish_sdk_target)
  get_property(libs GLOBAL PROPERTY TOLBU_SDK_LIBRARIES)
  add_library(sdk INTERFACE)
  add_library(tolbu_sdk::sdk ALIAS sdk)
  target_link_libraries(sdk INTERFACE ${libs})
  install(TARGETS sdk EXPORT tolbu_sdkTargets)
endfunction()

function(tolbu_install_package)
  include(CMakePackageConfigHelpers)
  install(DIRECTORY ${TOLBU_INCLUDE_DIR}/tolbu_sdk DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT tolbu_sdkTargets NAMESPACE tolbu_sdk::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tolbu_sdk)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tolbu_sdkConfig.cmake.in
    ${PROJECT_BINARY_DIR}/tolbu_sdkConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tolbu_sdk)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/tolbu_sdkConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/tolbu_sdkConfig.cmake
    ${PROJECT_BINARY_DIR}/tolbu_sdkConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tolbu_sdk)
endfunction()
