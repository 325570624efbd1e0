set(ZR48_DRIVER_IMAGE_FILE "" CACHE FILEPATH "the x64 driver image the image-labelled tests load")
zr48_test(driver_foundation_tests
  driver/frame_queue_test.cpp
  driver/adapter_lock_test.cpp
  driver/configuration_test.cpp
)

zr48_test(driver_integration_tests
  driver/smoke_test.cpp
)
# The shipped image the integration tests compare with the driver linked in.
target_compile_definitions(driver_integration_tests PRIVATE
  ZR48_SHIPPED_IMAGE="${ZR48_DRIVER_IMAGE_FILE}")

# One test binary per area; each area's directory holds its tests.
foreach(area card datapath requests)
  file(GLOB ZR48_AREA_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${area}/*_test.cpp)
  if(ZR48_AREA_TESTS)
    zr48_test(driver_${area}_tests ${ZR48_AREA_TESTS})
  endif()
endforeach()

# The same programs once more on the Windows driver image (the x64 zr48.sys
# that make windows builds), loaded by the host as the kernel loads it: their
# black-box tests run on the binary that ships, the white-box ones
# (ZR48_WHITE_BOX) are skipped there. driver_foundation_tests stays on the
# driver linked in: it calls the driver's functions on records of its own.
# Labelled "image"; not in the sanitizer build, whose checks are for the
# host's code and the driver built from source.
if(ZR48_DRIVER_IMAGE_FILE AND NOT ZR48_SANITIZE)
  foreach(program driver_integration_tests driver_card_tests driver_datapath_tests
          driver_requests_tests)
    add_test(NAME ${program}_on_image COMMAND ${program})
    set_tests_properties(${program}_on_image PROPERTIES TIMEOUT 300 LABELS image
      ENVIRONMENT "ZR48_DRIVER_IMAGE=${ZR48_DRIVER_IMAGE_FILE}")
  endforeach()
endif()
