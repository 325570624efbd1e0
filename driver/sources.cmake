# The driver's sources and flags, shared by the host build and the Windows
# kernel builds. Kernel code: no exceptions, no RTTI, no C++ library, no
# thread-safe statics (they need a runtime the kernel lacks).
set(ZR48_DRIVER_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ZR48_DRIVER_SOURCES
  ${ZR48_DRIVER_DIR}/adapter/adapter.cpp
  ${ZR48_DRIVER_DIR}/adapter/configuration.cpp
  ${ZR48_DRIVER_DIR}/card/card_control.cpp
  ${ZR48_DRIVER_DIR}/card/firmware.cpp
  ${ZR48_DRIVER_DIR}/card/line_code.cpp
  ${ZR48_DRIVER_DIR}/card/link.cpp
  ${ZR48_DRIVER_DIR}/card/mailbox.cpp
  ${ZR48_DRIVER_DIR}/datapath/adapter_lock.cpp
  ${ZR48_DRIVER_DIR}/datapath/frame_buffers.cpp
  ${ZR48_DRIVER_DIR}/datapath/frame_queue.cpp
  ${ZR48_DRIVER_DIR}/datapath/interrupt.cpp
  ${ZR48_DRIVER_DIR}/datapath/pool_memory.cpp
  ${ZR48_DRIVER_DIR}/datapath/receive.cpp
  ${ZR48_DRIVER_DIR}/datapath/reset.cpp
  ${ZR48_DRIVER_DIR}/datapath/transmit.cpp
  ${ZR48_DRIVER_DIR}/entry/driver_entry.cpp
  ${ZR48_DRIVER_DIR}/entry/halt.cpp
  ${ZR48_DRIVER_DIR}/entry/initialize.cpp
  ${ZR48_DRIVER_DIR}/requests/query.cpp
  ${ZR48_DRIVER_DIR}/requests/set.cpp
  ${ZR48_DRIVER_DIR}/requests/statistics.cpp
)
set(ZR48_DRIVER_FLAGS
  -Wall -Wextra -Werror
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  # Packets are linked through their byte-array reserved area.
  -fno-strict-aliasing
)
