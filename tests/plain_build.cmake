# Run with cmake -P: a packager's build of this tree, `cmake -S . -B DIR
# -DCMAKE_BUILD_TYPE=Release && cmake --build DIR` with the tests on and none of our own options
# (so no -Werror). It must succeed, and print no compiler warning: the tests are compiled at -O3
# nowhere else. BUILD_DIR is kept between runs, so a later run rebuilds only what changed.
foreach(variable SOURCE_DIR BUILD_DIR)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "plain_build.cmake needs -D${variable}=...")
    endif()
endforeach()

execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BUILD_DIR} -DCMAKE_BUILD_TYPE=Release
    COMMAND_ERROR_IS_FATAL ANY)
execute_process(
    COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --parallel 2
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output
    ECHO_OUTPUT_VARIABLE
    ECHO_ERROR_VARIABLE
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "The plain Release build failed (${result})")
endif()
if(output MATCHES "warning:")
    message(FATAL_ERROR "The plain Release build succeeded but the compiler warned (see above)")
endif()
