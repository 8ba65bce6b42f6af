# Run with cmake -P: configures BUILD_DIR for Windows (once, as `make windows` does) and builds
# plcdouble.exe there.
if(NOT EXISTS ${BUILD_DIR}/CMakeCache.txt)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BUILD_DIR} -G "${GENERATOR}"
            -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
            -DCMAKE_BUILD_TYPE=Release -DPLCDOUBLE_TESTS=OFF
        COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} -j 2 COMMAND_ERROR_IS_FATAL ANY)
