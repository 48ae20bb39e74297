# Hostile peers against dicomtk serve, played by a raw-socket client in
# Python over 127.0.0.1 (tests/hostile/hostile_peer.py lists the cases). The
# suite runs alone: it holds the server to answering a C-ECHO within a
# second after each case, which a machine busy with other tests could miss.
if(TARGET dicomtk)
  add_test(NAME Hostile.DicomtkServe
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/hostile/hostile_peer.py $<TARGET_FILE:dicomtk>)
  set_tests_properties(Hostile.DicomtkServe PROPERTIES LABELS hostile TIMEOUT 900 RUN_SERIAL TRUE)
endif()
