# Run by the build (cmake -P): installs the pinned clients with npm ci, install scripts off, then
# builds node-snap7's addon with npm's node-gyp against the Node headers under NODE_DIR. The tools'
# chatter (the addon's compiler warnings among it) is shown only when a step fails.
foreach(variable NODE NPM NODE_GYP NODE_DIR INTEROP_DIR)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "install_clients.cmake needs -D${variable}=...")
    endif()
endforeach()

function(run_step description working_directory)
    execute_process(COMMAND ${ARGN}
                    WORKING_DIRECTORY ${working_directory}
                    RESULT_VARIABLE result
                    OUTPUT_VARIABLE output
                    ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${description} failed (${result}):\n${output}")
    endif()
endfunction()

run_step("npm ci" ${INTEROP_DIR}
         ${NPM} ci --ignore-scripts --no-audit --no-fund)
run_step("Building node-snap7's addon" ${INTEROP_DIR}/node_modules/node-snap7
         ${NODE} ${NODE_GYP} rebuild --nodedir=${NODE_DIR} --jobs=2)
