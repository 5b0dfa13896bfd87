# Configures the project as a macOS build for the compile check (scripts/maccheck.sh):
# clang 19 targeting an Intel Mac running macOS 15, libc++ 19, the project's own
# declarations of the Apple APIs (sdk/ beside this file) and glibc's headers for the C
# library, with the names only Linux has made errors. Nothing built this way is linked.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 24.0)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_OSX_ARCHITECTURES x86_64)
set(CMAKE_OSX_DEPLOYMENT_TARGET 15.0)
# No SDK to look for: the headers come from the include paths below.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)

set(orvane_mac_target x86_64-apple-macosx15.0)
set(CMAKE_CXX_COMPILER /usr/bin/clang++-19)
set(CMAKE_OBJCXX_COMPILER /usr/bin/clang++-19)
set(CMAKE_CXX_COMPILER_TARGET ${orvane_mac_target})
set(CMAKE_OBJCXX_COMPILER_TARGET ${orvane_mac_target})
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

get_filename_component(orvane_mac_sdk "${CMAKE_CURRENT_LIST_DIR}/sdk" ABSOLUTE)
# Search order: libc++, the Apple declarations and the wrappers that poison Linux-only
# names (both #include_next into glibc), clang's own headers, glibc.
set(orvane_mac_includes
  "-nostdinc++ -stdlib=libc++ -isystem /usr/lib/llvm-19/include/c++/v1"
  "-isystem ${orvane_mac_sdk}"
  "-isystem /usr/lib/llvm-19/lib/clang/19/include"
  "-isystem /usr/include/x86_64-linux-gnu -isystem /usr/include")
# macOS declares the POSIX and BSD names by default; glibc does so with _DEFAULT_SOURCE
# (the GNU extensions stay hidden, as _GNU_SOURCE is not set).
list(APPEND orvane_mac_includes "-D_DEFAULT_SOURCE")
list(JOIN orvane_mac_includes " " orvane_mac_includes)
set(CMAKE_CXX_FLAGS_INIT "${orvane_mac_includes}")
set(CMAKE_OBJCXX_FLAGS_INIT "${orvane_mac_includes}")

# Libraries and packages (Qt) are the host's; only their headers and moc are used.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE NEVER)

# Qt's package files are under the host's multiarch directory.
set(CMAKE_LIBRARY_ARCHITECTURE x86_64-linux-gnu)
# Qt's GUI module asks for the OpenGL framework; nothing here links, so its location is
# only named.
set(OPENGL_INCLUDE_DIR "${orvane_mac_sdk}" CACHE PATH "")
set(OPENGL_gl_LIBRARY "/System/Library/Frameworks/OpenGL.framework" CACHE FILEPATH "")
set(WrapOpenGL_AGL "/System/Library/Frameworks/AGL.framework" CACHE FILEPATH "")

# Darwin's binary tools as LLVM ships them for Mach-O; the check only compiles.
set(CMAKE_INSTALL_NAME_TOOL /usr/bin/llvm-install-name-tool-19)
set(CMAKE_AR /usr/lib/llvm-19/bin/llvm-ar)
set(CMAKE_RANLIB /usr/lib/llvm-19/bin/llvm-ranlib)
