# Cross build for the Zynq-7000's Cortex-A9 cores, bare metal, with the GNU Arm embedded toolchain
# (Debian: gcc-arm-none-eabi, libnewlib-arm-none-eabi, libstdc++-arm-none-eabi-newlib).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# With the MMU off every access is strongly ordered and an unaligned one faults: the packed records
# must be read and written a byte at a time.
set(ORVANE_CPU_FLAGS "-mcpu=cortex-a9 -mfpu=neon -mfloat-abi=hard -mno-unaligned-access")
set(CMAKE_CXX_FLAGS_INIT "${ORVANE_CPU_FLAGS} -ffunction-sections -fdata-sections")
set(CMAKE_ASM_FLAGS_INIT "${ORVANE_CPU_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ORVANE_CPU_FLAGS} --specs=nosys.specs -nostartfiles -Wl,--gc-sections")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(ORVANE_PLATFORM zynq CACHE STRING "Platform layer: host (stand-in) or zynq (Cortex-A9)" FORCE)
