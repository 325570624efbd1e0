zr48_test(host_tests
  host/kernel_test.cpp
  host/config_test.cpp
  host/verifier_test.cpp
)
