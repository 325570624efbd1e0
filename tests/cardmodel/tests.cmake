# The card model's own tests: GoogleTest and the model, nothing of host/ or
# the driver.
file(GLOB ZR48_CARDMODEL_TEST_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_executable(cardmodel_tests ${ZR48_CARDMODEL_TEST_SOURCES})
target_include_directories(cardmodel_tests PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(cardmodel_tests PRIVATE zr48_cardmodel GTest::gtest GTest::gtest_main)
target_compile_options(cardmodel_tests PRIVATE -Wall -Wextra -Werror)
# The image that zr48fwgen writes for the driver is checked too.
add_dependencies(cardmodel_tests zr48_firmware)
target_compile_definitions(cardmodel_tests PRIVATE
                           ZR48_FIRMWARE_IMAGE="${CMAKE_BINARY_DIR}/firmware/zr48.bin")
add_test(NAME cardmodel_tests COMMAND cardmodel_tests)
set_tests_properties(cardmodel_tests PROPERTIES TIMEOUT 300)
