zr48_test(driver_foundation_tests
  driver/frame_queue_test.cpp
  driver/adapter_lock_test.cpp
  driver/adapter_test.cpp
  driver/configuration_test.cpp
)

zr48_test(driver_integration_tests
  driver/smoke_test.cpp
)
