# The installed zal package: the library target zal::zal and the packages it
# links, so a consumer needs only find_package(zal).
include(CMakeFindDependencyMacro)
find_dependency(OpenSSL)
find_dependency(ZLIB)
find_dependency(Threads)
find_dependency(PkgConfig)
pkg_check_modules(HIREDIS REQUIRED IMPORTED_TARGET hiredis)
include("${CMAKE_CURRENT_LIST_DIR}/zalTargets.cmake")
