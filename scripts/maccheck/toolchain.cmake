# Configures the project as a macOS build for the compile check (scripts/maccheck.sh): Zig's
# clang for an Intel Mac running macOS 13 (zig-c++ beside this file), against the macOS 13
# SDK's C library headers and libc++ that Zig carries, and the project's own declarations of
# the Apple frameworks with their export lists (Frameworks/ beside this file). orvtool and
# OrvaneBar link into Mach-O executables; nothing is run.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 22.0)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The architecture and the headers' macOS version are zig-c++'s target; CMake adds no -arch
# or -isysroot. The project's deployment target reaches the commands as -mmacosx-version-min,
# which the check compares with the target's.
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)

set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(CMAKE_OBJCXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
# Detecting the compiler links nothing: the first link builds libc++ for the target.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

get_filename_component(orvane_mac_frameworks "${CMAKE_CURRENT_LIST_DIR}/Frameworks" ABSOLUTE)
set(CMAKE_CXX_FLAGS_INIT "-F${orvane_mac_frameworks}")
set(CMAKE_OBJCXX_FLAGS_INIT "-F${orvane_mac_frameworks}")
# Libraries/ holds the Objective-C runtime's export list (-lobjc). Forced, so that a build tree
# configured before follows this file.
set(CMAKE_EXE_LINKER_FLAGS "-F${orvane_mac_frameworks} -L${CMAKE_CURRENT_LIST_DIR}/Libraries"
    CACHE STRING "" FORCE)

# Libraries and packages (Qt) are the host's; only their headers and moc are used.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE NEVER)

# Qt's package files are under the host's multiarch directory.
set(CMAKE_LIBRARY_ARCHITECTURE x86_64-linux-gnu)
# Qt's GUI module asks for the OpenGL framework and Vulkan's headers; OrvaneBar includes
# neither and calls neither, so their locations are only named (never the host's
# /usr/include, whose C library headers would be found after the macOS ones).
set(OPENGL_INCLUDE_DIR "${orvane_mac_frameworks}" CACHE PATH "" FORCE)
set(Vulkan_INCLUDE_DIR "${orvane_mac_frameworks}" CACHE PATH "" FORCE)
set(OPENGL_gl_LIBRARY "/System/Library/Frameworks/OpenGL.framework" CACHE FILEPATH "")
set(WrapOpenGL_AGL "/System/Library/Frameworks/AGL.framework" CACHE FILEPATH "")

# Archives in the Mach-O (Darwin) format, as LLVM writes them for Mach-O objects.
set(CMAKE_AR /usr/lib/llvm-19/bin/llvm-ar)
set(CMAKE_RANLIB /usr/lib/llvm-19/bin/llvm-ranlib)
set(CMAKE_INSTALL_NAME_TOOL /usr/bin/llvm-install-name-tool-19)
