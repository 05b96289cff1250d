# Runs the Windows program (under Wine) and the Linux program on the same
# inputs, each in a folder of its own, and checks that they agree: the
# output's bytes, the messages, the exit status, and the failure report
# but for the module's name and offset. The Linux program is kept to the
# zone table compiled into it, the Windows program's only zone data.
#   WINDOWS_PROGRAM, LINUX_PROGRAM  the two; WINE the command that runs the first
#   GENERATE          the listing generator; EXAMPLES the sample listings
file(REMOVE_RECURSE ${WORK_DIR})
foreach(side windows linux)
  file(MAKE_DIRECTORY ${WORK_DIR}/${side})
  file(GLOB examples ${EXAMPLES}/*.xml)
  file(COPY ${examples} DESTINATION ${WORK_DIR}/${side})
  foreach(seed 1 2)
    execute_process(COMMAND ${GENERATE} 3M ${seed} OUTPUT_FILE ${WORK_DIR}/${side}/g${seed}.xml
                    RESULT_VARIABLE status)
    if(status)
      message(FATAL_ERROR "GenerateListing failed")
    endif()
  endforeach()
  # Compressed copies, members one after another, and damaged data.
  foreach(name svt dr g1)
    execute_process(COMMAND gzip -c ${WORK_DIR}/${side}/${name}.xml
                    OUTPUT_FILE ${WORK_DIR}/${side}/${name}.xml.gz RESULT_VARIABLE status)
    if(status)
      message(FATAL_ERROR "gzip failed")
    endif()
  endforeach()
  execute_process(COMMAND sh -c "cat svt.xml.gz dr.xml.gz > two.gz && head -c 300 g1.xml.gz > cut.gz"
                  WORKING_DIRECTORY ${WORK_DIR}/${side})
  file(WRITE ${WORK_DIR}/${side}/empty.xml "")
  # Faults that get warnings: an id given before, programmes among channels.
  file(WRITE ${WORK_DIR}/${side}/broken.xml
       "<tv><channel id=\"svt1.svt.se\"></channel><programme></programme><channel id=\"x\"></channel></tv>")
  # Lists of channels for shaping the guide: a playlist and a plain list.
  file(WRITE ${WORK_DIR}/${side}/playlist.m3u
       "#EXTM3U\n#EXTINF:-1 tvg-id=\"svt1.svt.se\",SVT1\nhttp://a\n#EXTINF:-1,none\nhttp://b\n"
       "#EXTINF:-1 tvg-id=\"DR1.DR.DK\",DR1\nhttp://c\n#EXTINF:-1 tvg-id=\"gone\",Gone\n")
  file(WRITE ${WORK_DIR}/${side}/list.txt "# ours\nch1*\nbbc-one.bbc.co.uk\n")
  file(WRITE ${WORK_DIR}/${side}/nothing.txt "nowhere.tv\n")
  # Times where a zone's history, not its rule of today, decides.
  set(history "<tv>")
  foreach(time 20060315120000 20120115120000 20261201120000 20270215120000 19800701120000
               20261101013000 20370701120000 20500101120000)
    string(APPEND history "<programme start=\"${time}\" channel=\"c\"></programme>")
  endforeach()
  file(WRITE ${WORK_DIR}/${side}/history.xml "${history}</tv>")
  file(WRITE ${WORK_DIR}/${side}/bad.xml
       "<tv><programme start=\"20260701110000\" stop=\"202607011200 +0100\"></programme></tv>")
endforeach()

set(failures 0)
function(compare name)
  foreach(side windows linux)
    file(REMOVE ${WORK_DIR}/${side}/out.xml ${WORK_DIR}/${side}/out.xml.gz)
    if(side STREQUAL "windows")
      set(command ${WINE} ${WINDOWS_PROGRAM})
    else()
      set(command ${CMAKE_COMMAND} -E env TZDIR=${WORK_DIR}/no-zone-files ${LINUX_PROGRAM})
    endif()
    execute_process(COMMAND ${command} ${ARGN} WORKING_DIRECTORY ${WORK_DIR}/${side}
                    RESULT_VARIABLE status_${side} OUTPUT_VARIABLE out_${side}
                    ERROR_VARIABLE err_${side})
    string(REGEX REPLACE "in module [^ ]+ at [0-9A-F]+\\." "in module M at X." err_${side}
                         "${err_${side}}")
    set(output_${side} "(none)")
    foreach(output out.xml out.xml.gz)
      if(EXISTS ${WORK_DIR}/${side}/${output})
        file(SHA256 ${WORK_DIR}/${side}/${output} output_${side})
      endif()
    endforeach()
  endforeach()
  foreach(what status out err output)
    if(NOT "${${what}_windows}" STREQUAL "${${what}_linux}")
      message(SEND_ERROR "${name}: ${what} differs\nWindows: ${${what}_windows}\nLinux:   ${${what}_linux}")
      return()
    endif()
  endforeach()
  message(STATUS "${name}: same (exit ${status_linux})")
endfunction()

compare(Usage)
compare(Version --version)
compare(Examples svt.xml dr.xml uk-local.xml out.xml)
compare(ExamplesAllRewritten svt.xml -t dr.xml -t uk-local.xml -t out.xml)
compare(Generated g1.xml g2.xml out.xml)
compare(GeneratedRewritten g1.xml -t g2.xml -t out.xml)
compare(EmptyInputWarns empty.xml dr.xml out.xml)
compare(MissingInput dr.xml missing.xml out.xml)
compare(BadTime bad.xml -t dr.xml out.xml)
compare(SwitchLast dr.xml -t)
compare(OutputCannotBeCreated dr.xml nowhere/out.xml)
compare(CompressedInputs two.gz uk-local.xml -t g1.xml.gz -t out.xml)
compare(CompressedOutput svt.xml dr.xml -t g1.xml g2.xml -t out.xml.gz)
compare(DamagedInput dr.xml cut.gz out.xml)
compare(Warnings svt.xml broken.xml out.xml)
compare(ZonedTimes uk-local.xml -t=Europe/London svt.xml -t=Europe/Stockholm g1.xml
        -t=Australia/Sydney dr.xml -t out.xml)
compare(ZoneHistories history.xml -t=America/New_York history.xml -t=Europe/Moscow history.xml
        -t=Africa/Casablanca history.xml -t=America/Havana history.xml -t=America/Vancouver
        history.xml -t=Asia/Tehran history.xml -t=EST5EDT out.xml)
compare(UnknownZone dr.xml -t=Nowhere/Else out.xml)
compare(NotAZone dr.xml -t=Factory out.xml)
compare(Help --help)
compare(ChannelsOfAPlaylist --channels=playlist.m3u svt.xml dr.xml -t uk-local.xml out.xml)
compare(ChannelsOfTwoLists --channels=list.txt --channels=playlist.m3u -- g1.xml.gz g2.xml uk-local.xml
        -t=Europe/London out.xml.gz)
compare(FirstWins --first-wins svt.xml svt.xml dr.xml g1.xml g1.xml.gz out.xml)
compare(NothingKept --channels=nothing.txt svt.xml out.xml)
compare(MissingList --channels=missing.m3u svt.xml out.xml)
