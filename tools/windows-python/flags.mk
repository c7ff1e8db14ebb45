# Compiler and flags of the Windows interpreter (python311.dll and its
# extension modules), included by the generated makefiles. SRC is the edited
# CPython tree, HOST the MinGW-w64 target (i686-w64-mingw32, the product;
# x86_64-w64-mingw32 where the build machine cannot run 32-bit programs).
# Every object depends on this file: a change rebuilds them.
HOST ?= i686-w64-mingw32
CC := $(HOST)-gcc-posix
ifeq ($(HOST),i686-w64-mingw32)
# SSE2 arithmetic: no x87 double rounding, so float repr and parsing stay exact.
# __MINGW_USE_VC2005_COMPAT: a 64-bit time_t on msvcrt.dll (dates after 2038).
ARCH := -msse2 -mfpmath=sse -D__MINGW_USE_VC2005_COMPAT
DLL_ID := 3.11-32
DECIMAL_CONFIG := -DCONFIG_32 -DANSI
else
ARCH :=
DLL_ID := 3.11
# libmpdec's portable 64-bit arithmetic, on GCC's 128-bit integers
DECIMAL_CONFIG := -DCONFIG_64 -DANSI -DHAVE_UINT128_T
endif
COMMON := -O2 -g0 -fwrapv -std=gnu11 $(ARCH) -DWIN32 -D__USE_MINGW_ANSI_STDIO=1 -DNDEBUG \
  -I$(SRC)/Include -I$(SRC)/Include/internal -I$(SRC)/PC
CORE_CFLAGS := $(COMMON) -I$(SRC)/Python -D_USRDLL -DPy_BUILD_CORE -DPy_BUILD_CORE_BUILTIN \
  -DPy_ENABLE_SHARED -DMS_DLL_ID=\"$(DLL_ID)\" -DPY3_DLLNAME=L\"python3.dll\" -D_Py_HAVE_ZLIB
EXT_CFLAGS := $(COMMON)
# zlib from Debian's libz-mingw-w64-dev, linked in; the rest are system DLLs.
CORE_LIBS := -static-libgcc -Wl,--enable-auto-image-base -Wl,-Bstatic -lz -Wl,-Bdynamic \
  -lversion -lws2_32 -lpathcch -lbcrypt -lshlwapi
