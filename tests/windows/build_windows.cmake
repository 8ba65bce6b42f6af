# Run with cmake -P: configures BUILD_DIR for Windows (once, as `make windows` does, and again
# for a tree from before warnings were errors there) and builds plcdouble.exe there.
set(werror "")
if(EXISTS ${BUILD_DIR}/CMakeCache.txt)
    file(STRINGS ${BUILD_DIR}/CMakeCache.txt werror REGEX "^PLCDOUBLE_WERROR:BOOL=ON$")
endif()
if(NOT werror)
    set(generator "")
    if(NOT EXISTS ${BUILD_DIR}/CMakeCache.txt)
        set(generator -G "${GENERATOR}")
    endif()
    execute_process(
        COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BUILD_DIR} ${generator}
            -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
            -DCMAKE_BUILD_TYPE=Release -DPLCDOUBLE_TESTS=OFF -DPLCDOUBLE_WERROR=ON
        COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} -j 2 COMMAND_ERROR_IS_FATAL ANY)
