# Debian's hardening flags (dpkg-buildflags with hardening=+all on Debian 12),
# for every program and test. Included from the top CMakeLists.txt before the
# subfolders.
#
# _FORTIFY_SOURCE needs optimisation (glibc warns and does nothing at -O0) and
# replaces the libc calls that AddressSanitizer intercepts, so the sanitizer
# and Debug builds go without it; the other flags suit every build.
include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
add_link_options(-Wl,-z,relro,-z,now)
if(NOT VANTELO_SANITIZE)
  add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
endif()
