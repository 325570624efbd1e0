zr48_test(driver_foundation_tests
  driver/frame_queue_test.cpp
  driver/adapter_lock_test.cpp
  driver/configuration_test.cpp
)

zr48_test(driver_integration_tests
  driver/smoke_test.cpp
)

# One test binary per area; each area's directory holds its tests.
foreach(area card datapath requests)
  file(GLOB ZR48_AREA_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${area}/*_test.cpp)
  if(ZR48_AREA_TESTS)
    zr48_test(driver_${area}_tests ${ZR48_AREA_TESTS})
  endif()
endforeach()
