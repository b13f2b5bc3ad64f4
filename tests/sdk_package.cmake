# Installs the SDK of a finished build into a fresh prefix, builds the outside
# example plug-in and host against that prefix only, and runs the host, which
# must load the plug-in and run its action.
#   cmake -DBUILD_DIR=<build> -DSOURCE_DIR=<repo> -DWORK_DIR=<scratch> [-DLAUNCHER=ccache] -P sdk_package.cmake
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR)
  if(NOT ${var})
    message(FATAL_ERROR "sdk_package: ${var} is not set")
  endif()
endforeach()

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "sdk_package: ${what} failed (${rc}):\n${out}\n${err}")
  endif()
  message(STATUS "${what}: ok\n${out}")
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run_step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f include/varnik/Kernel.h lib/cmake/VarnikFramework/VarnikFrameworkConfig.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "sdk_package: ${f} was not installed")
  endif()
endforeach()
set(launcher)
if(LAUNCHER)
  set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
# Only the prefix is searched: the build tree's own package must not be found.
run_step("configure" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/sdk -B ${WORK_DIR}/build
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_BUILD_TYPE=Release ${launcher})
run_step("build" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run_step("run" ${WORK_DIR}/build/hello-host ${WORK_DIR}/build/plugins)
