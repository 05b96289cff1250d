# "Console" is standard output being a character device (GetFileType says
# FILE_TYPE_CHAR): then each message is written at once, before a warning
# on standard error that follows it; into a pipe they wait in the buffer.
# Under Wine, a Unix terminal is such a device; script(1) provides one.
#   WINDOWS_PROGRAM, WINE, EXAMPLES, WORK_DIR
find_program(SCRIPT script)
if(NOT SCRIPT)
  message("SKIPPED: script(1) from util-linux is not installed to give the run a terminal")
  return()
endif()
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(COPY ${EXAMPLES}/dr.xml DESTINATION ${WORK_DIR})
file(WRITE ${WORK_DIR}/empty.xml "")
list(JOIN WINE " " wine)
set(run "${wine} ${WINDOWS_PROGRAM} dr.xml -t empty.xml out.xml")

execute_process(COMMAND ${SCRIPT} -qec "${run}" /dev/null WORKING_DIRECTORY ${WORK_DIR}
                OUTPUT_VARIABLE terminal RESULT_VARIABLE status)
execute_process(COMMAND sh -c "${run} 2>&1" WORKING_DIRECTORY ${WORK_DIR}
                OUTPUT_VARIABLE piped)
message(STATUS "on a terminal:\n${terminal}\ninto a pipe:\n${piped}")
if(status OR NOT terminal MATCHES "Checking timezone for \"dr.xml\".*warning: nothing taken")
  message(FATAL_ERROR "on a terminal the message did not come out at once")
endif()
if(NOT piped MATCHES "warning: nothing taken.*Checking timezone for \"dr.xml\"")
  message(FATAL_ERROR "into a pipe the message did not wait in the buffer")
endif()
