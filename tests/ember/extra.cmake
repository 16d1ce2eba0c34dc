# PE fixtures made at build time from our own sources: PE32 and PE32+
# executables and DLLs from the mingw-w64 cross toolchains, .NET assemblies
# from the mono C# compiler. The tests also read DLLs shipped by Debian
# packages (mingw-w64 runtime, mono) where they are installed.
set(KAV_PE_FIXTURES ${CMAKE_BINARY_DIR}/pe_fixtures)
set(fx_src ${CMAKE_CURRENT_SOURCE_DIR}/ember/fixtures)
set(fx_outputs)
foreach(arch i686 x86_64)
  find_program(KAV_${arch}_GCC ${arch}-w64-mingw32-gcc)
  find_program(KAV_${arch}_DLLTOOL ${arch}-w64-mingw32-dlltool)
  find_program(KAV_${arch}_WINDRES ${arch}-w64-mingw32-windres)
  if(NOT KAV_${arch}_GCC OR NOT KAV_${arch}_DLLTOOL OR NOT KAV_${arch}_WINDRES)
    message(WARNING "${arch}-w64-mingw32 toolchain missing: its PE fixtures are not built")
    continue()
  endif()
  if(arch STREQUAL "x86_64")
    set(sfx 64)
  else()
    set(sfx 32)
  endif()
  set(def_sfx "")
  if(sfx STREQUAL "64")
    set(def_sfx 64)
  endif()
  set(work ${KAV_PE_FIXTURES}/build${sfx})
  add_custom_command(
    OUTPUT ${KAV_PE_FIXTURES}/app${sfx}.exe
    COMMAND ${CMAKE_COMMAND} -E make_directory ${work}
    COMMAND ${KAV_${arch}_DLLTOOL} -d ${fx_src}/ws2_ordinals${def_sfx}.def -l ${work}/libws2ord.a
    COMMAND ${KAV_${arch}_DLLTOOL} -d ${fx_src}/delayed${def_sfx}.def -y ${work}/libdelay.a
    COMMAND ${KAV_${arch}_WINDRES} ${fx_src}/app.rc -O coff -o ${work}/app.res
    COMMAND ${KAV_${arch}_GCC} -O1 -o ${KAV_PE_FIXTURES}/app${sfx}.exe ${fx_src}/app.c ${work}/app.res
            ${work}/libws2ord.a ${work}/libdelay.a
    DEPENDS ${fx_src}/app.c ${fx_src}/app.rc ${fx_src}/ws2_ordinals${def_sfx}.def ${fx_src}/delayed${def_sfx}.def
    VERBATIM)
  add_custom_command(
    OUTPUT ${KAV_PE_FIXTURES}/lib${sfx}.dll
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KAV_PE_FIXTURES}
    COMMAND ${KAV_${arch}_GCC} -O1 -shared -o ${KAV_PE_FIXTURES}/lib${sfx}.dll ${fx_src}/lib.c ${fx_src}/lib.def
    DEPENDS ${fx_src}/lib.c ${fx_src}/lib.def
    VERBATIM)
  list(APPEND fx_outputs ${KAV_PE_FIXTURES}/app${sfx}.exe ${KAV_PE_FIXTURES}/lib${sfx}.dll)
endforeach()
find_program(KAV_MCS mcs)
if(KAV_MCS)
  add_custom_command(
    OUTPUT ${KAV_PE_FIXTURES}/hello.exe ${KAV_PE_FIXTURES}/hellolib.dll
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KAV_PE_FIXTURES}
    COMMAND ${KAV_MCS} -nologo -out:${KAV_PE_FIXTURES}/hello.exe ${fx_src}/hello.cs
    COMMAND ${KAV_MCS} -nologo -target:library -out:${KAV_PE_FIXTURES}/hellolib.dll ${fx_src}/hellolib.cs
    DEPENDS ${fx_src}/hello.cs ${fx_src}/hellolib.cs
    VERBATIM)
  list(APPEND fx_outputs ${KAV_PE_FIXTURES}/hello.exe ${KAV_PE_FIXTURES}/hellolib.dll)
else()
  message(WARNING "mcs missing: the .NET fixtures are not built")
endif()
add_custom_target(kav_pe_fixtures DEPENDS ${fx_outputs})
find_program(KAV_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
if(TARGET tests_ember)
  add_dependencies(tests_ember kav_pe_fixtures)
  target_compile_definitions(tests_ember PRIVATE KAV_PE_FIXTURES="${KAV_PE_FIXTURES}"
                             KAV_MINGW_OBJDUMP="${KAV_MINGW_OBJDUMP}")
endif()
