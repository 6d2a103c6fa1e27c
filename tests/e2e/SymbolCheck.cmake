# cmake -DLIBRARY=libyvkstreamer_core.so -P SymbolCheck.cmake
execute_process(COMMAND nm -DC --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
foreach(name YVK_StreamerCoreNew YVK_StreamerCoreRun YVK_StreamerCoreCtrl YVK_StreamerCoreStop
             YVK_StreamerCoreFree NET_SETUP_COMMANDS)
  if(NOT symbols MATCHES " [TD] ${name}\n")
    message(FATAL_ERROR "${name} is not exported under its plain name")
  endif()
endforeach()
# The file-input functions take the library's types: decorated names only.
foreach(name vod_open vod_info vod_read vod_seek vod_close vod_get_duration vod_seek_file_find vod_get_tracks)
  if(symbols MATCHES " T ${name}\n")
    message(FATAL_ERROR "${name} is exported under a plain (C) name")
  endif()
endforeach()
foreach(name vod_open vod_info vod_read vod_seek vod_close vod_get_duration vod_seek_file_find vod_get_tracks
             createRTSPServer createUserAuthenticationDatabase addSession addSubSessions createAudioSource
             H26xQueueSource::createNew PCMQueueSource::createNew UnicastServerMediaSubsession::createNew
             PCMAudioServerMediaSubsession::createNew BaseServerMediaSubsession::createSink)
  if(NOT symbols MATCHES " T ${name}\\(")
    message(FATAL_ERROR "${name} is not exported")
  endif()
endforeach()
foreach(name getInterfaceIp runNetworkSetup dumpStreamData dumpStreamDataTo streamer_new_live vodFillFileIO)
  if(symbols MATCHES " ${name}\\(")
    message(FATAL_ERROR "internal ${name} is exported")
  endif()
endforeach()
