# Settings shared by the product build and the test build.

# System DLLs the driver imports; nothing else may be imported.
set(TESSMAR_SYSTEM_LIBS ws2_32 winmm psapi advapi32 user32 gdi32 shell32 comctl32)

function(tessmar_driver_settings target)
  target_include_directories(${target} PUBLIC ${TESSMAR_SOURCE_ROOT})
  target_compile_definitions(${target} PUBLIC
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -fno-exceptions -fno-rtti>)
endfunction()

if(NOT TESSMAR_SOURCE_ROOT)
  set(TESSMAR_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
  get_filename_component(TESSMAR_SOURCE_ROOT ${TESSMAR_SOURCE_ROOT} ABSOLUTE)
endif()
