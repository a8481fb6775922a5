# Host (Linux user-mode) build: the driver core over the kernel emulation, the simulated stick,
# kvsbda-sim, tests, benchmarks and fuzz targets.
enable_testing()
find_package(Threads REQUIRED)
# Executables export their symbols, so that a bug check's host call stack names its functions.
set(CMAKE_ENABLE_EXPORTS ON)

# Kernel, USB bus and kernel-streaming emulation.
file(GLOB KVSBDA_HOST_PLATFORM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/host/*.cpp)
add_library(kvsbda_host_platform STATIC ${KVSBDA_HOST_PLATFORM_SOURCES})
target_include_directories(kvsbda_host_platform PUBLIC
  ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/platform/host/include)
target_link_libraries(kvsbda_host_platform PUBLIC Threads::Threads)

# The driver core, compiled under the same rules as in the kernel build.
add_library(kvsbda_core STATIC ${KVSBDA_CORE_SOURCES})
target_compile_options(kvsbda_core PRIVATE ${KVSBDA_CORE_FLAGS})
target_link_libraries(kvsbda_core PUBLIC kvsbda_host_platform)

# The simulated stick.
file(GLOB KVSBDA_SIM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sim/*.cpp)
add_library(kvsbda_sim STATIC ${KVSBDA_SIM_SOURCES})
target_link_libraries(kvsbda_sim PUBLIC kvsbda_host_platform)

# The Windows driver image under CPU emulation: loader, import bindings to the emulation above,
# and the runner that executes its code (unicorn).
find_path(UNICORN_INCLUDE_DIR unicorn/unicorn.h REQUIRED)
find_library(UNICORN_LIBRARY unicorn REQUIRED)
file(GLOB KVSBDA_IMAGE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/image/*.cpp)
add_library(kvsbda_image STATIC ${KVSBDA_IMAGE_SOURCES})
target_include_directories(kvsbda_image SYSTEM PRIVATE ${UNICORN_INCLUDE_DIR})
target_link_libraries(kvsbda_image PUBLIC kvsbda_host_platform ${UNICORN_LIBRARY})

# The driver image the tests and kvsbda-sim run (the windows-kernel preset builds it).
set(KVSBDA_WINDOWS_SYS ${PROJECT_SOURCE_DIR}/build/windows-kernel/kvsbda.sys CACHE FILEPATH
    "kvsbda.sys run under emulation and checked by the tests")

# What applications link: driver core + emulation + simulated stick.
add_library(kvsbda-host INTERFACE)
target_link_libraries(kvsbda-host INTERFACE kvsbda_core kvsbda_sim kvsbda_host_platform)

add_subdirectory(tools/kvsbda-sim)
add_subdirectory(tools/wireshark)
add_subdirectory(tests)
if(EXISTS ${PROJECT_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/fuzz/CMakeLists.txt)
  add_subdirectory(fuzz)
endif()
