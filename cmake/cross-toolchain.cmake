# Toolchain of the cross-build (cmake/cross.cmake): the firmware compiled for
# the modules' Cortex-M4 cores with Debian's arm-none-eabi GCC and
# newlib-nano. The core's float ABI is the chip's (set per image there).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_OBJCOPY arm-none-eabi-objcopy)
set(CMAKE_SIZE arm-none-eabi-size)
# No host program can be linked for a bare core: check the compilers with a
# static library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_C_FLAGS_INIT "-mthumb -mcpu=cortex-m4")
set(CMAKE_CXX_FLAGS_INIT "-mthumb -mcpu=cortex-m4")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-mthumb -mcpu=cortex-m4 --specs=nano.specs --specs=nosys.specs")
