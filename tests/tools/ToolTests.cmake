# dicomtk run as a user runs it: files in, messages and exit status out.
add_executable(dicomtk_tests tools/DicomtkTest.cpp)
target_link_libraries(dicomtk_tests PRIVATE DicomToolkit GTest::gtest GTest::gtest_main)
target_compile_definitions(dicomtk_tests PRIVATE DICOMTK_PATH="$<TARGET_FILE:dicomtk>")
add_dependencies(dicomtk_tests dicomtk)
gtest_discover_tests(dicomtk_tests PROPERTIES LABELS tools TIMEOUT ${test_timeout} DISCOVERY_TIMEOUT 60)

# dicomtk with the data dictionary: dump's names and numbers, copy --explicit.
add_executable(dicomtk_dictionary_tests tools/DicomtkDictionaryTest.cpp)
target_link_libraries(dicomtk_dictionary_tests PRIVATE DicomToolkit GTest::gtest GTest::gtest_main)
target_compile_definitions(dicomtk_dictionary_tests PRIVATE DICOMTK_PATH="$<TARGET_FILE:dicomtk>")
add_dependencies(dicomtk_dictionary_tests dicomtk)
gtest_discover_tests(dicomtk_dictionary_tests PROPERTIES LABELS tools TIMEOUT ${test_timeout} DISCOVERY_TIMEOUT 60)

# dicomtk echo, store, serve, find, move and get run as processes on
# 127.0.0.1: the storage server's promises, and what the commands that ask
# a peer print and return.
add_executable(dicomtk_network_tests tools/ServeTest.cpp tools/ServeStoredFilesTest.cpp tools/ServeAssociationTest.cpp
               tools/ServeMoveTest.cpp tools/EchoStoreTest.cpp tools/UserCommandsTest.cpp tools/GetCommandTest.cpp
               tools/QueryCancelTest.cpp tools/ServeLogTest.cpp)
target_link_libraries(dicomtk_network_tests PRIVATE DicomToolkit GTest::gtest GTest::gtest_main)
target_compile_definitions(dicomtk_network_tests PRIVATE DICOMTK_PATH="$<TARGET_FILE:dicomtk>")
add_dependencies(dicomtk_network_tests dicomtk)
gtest_discover_tests(dicomtk_network_tests PROPERTIES LABELS tools TIMEOUT ${test_timeout} DISCOVERY_TIMEOUT 60)

# The query index of dicomtk serve, where the build has SQLite.
if(TARGET dicomtk_index)
  find_package(Threads REQUIRED)
  add_executable(store_index_tests tools/StoreIndexTest.cpp)
  target_link_libraries(store_index_tests PRIVATE dicomtk_index DicomToolkit GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(store_index_tests PROPERTIES LABELS tools TIMEOUT ${test_timeout} DISCOVERY_TIMEOUT 60)
endif()
