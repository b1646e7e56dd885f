# The Windows program, its engine library and the tests that run under Wine.
set(WIN_DEFINITIONS UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
# CI builds with KV_WERROR=ON (scripts/test.sh): a new warning fails it.
option(KV_WERROR "Treat warnings as errors" OFF)
if(MSVC)
  set(WIN_WARNINGS /W4 $<$<BOOL:${KV_WERROR}>:/WX>)
else()
  set(WIN_WARNINGS -Wall -Wextra $<$<BOOL:${KV_WERROR}>:-Werror>)
endif()
# clang checks the lock annotations of platform/thread_safety.h; the beta set checks the order
# of ACQUIRED_BEFORE and ACQUIRED_AFTER.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  list(APPEND WIN_WARNINGS -Wthread-safety -Wthread-safety-beta)
endif()

# The version of project(): the exe's version resource, manifest and tray tip, the MSI's version.
set(KV_VERSION_DIR ${CMAKE_BINARY_DIR}/version)
configure_file(${APP}/resources/version.h.in ${KV_VERSION_DIR}/kv_version.h @ONLY)
configure_file(${APP}/resources/kvUsbRedirector.manifest.in
  ${KV_VERSION_DIR}/kvUsbRedirector.manifest @ONLY)

# One static library per layer, each linking only the layers below it; kv_engine is all of them.
function(kv_layer name)
  cmake_parse_arguments(LAYER "" "" "SOURCES;BELOW" ${ARGN})
  add_library(kv_${name} STATIC ${LAYER_SOURCES})
  target_compile_definitions(kv_${name} PUBLIC ${WIN_DEFINITIONS})
  target_compile_options(kv_${name} PRIVATE ${WIN_WARNINGS})
  target_include_directories(kv_${name} PUBLIC ${APP} ${KV_VERSION_DIR})
  target_link_libraries(kv_${name} PUBLIC ${LAYER_BELOW})
endfunction()
kv_layer(portable SOURCES ${PORTABLE_SOURCES})
kv_layer(platform SOURCES ${APP}/platform/platform_win32.cpp ${APP}/platform/overlapped_call.cpp
  ${APP}/platform/guarded_copy.cpp
  ${APP}/platform/seams.cpp BELOW kv_portable wtsapi32 setupapi advapi32)
kv_layer(debug SOURCES ${APP}/debug/usb_debug.cpp BELOW kv_platform)
kv_layer(channel SOURCES ${APP}/channel/server_channel.cpp
  BELOW kv_debug)
kv_layer(driver SOURCES ${APP}/driver/usb_driver.cpp BELOW kv_channel)
kv_layer(packets SOURCES ${APP}/packets/message_table.cpp ${APP}/packets/usb_packet.cpp
  ${APP}/packets/usb_packet_negotiate.cpp ${APP}/packets/usb_device_list.cpp
  ${APP}/packets/usb_packet_device_list.cpp ${APP}/packets/usb_packet_open.cpp
  ${APP}/packets/usb_packet_close.cpp ${APP}/packets/usb_packet_completions.cpp
  ${APP}/packets/usb_packet_reap_urb.cpp ${APP}/packets/mdl_urb_list.cpp
  ${APP}/packets/device_policy.cpp ${APP}/packets/device_life.cpp BELOW kv_driver)
kv_layer(manager SOURCES ${APP}/manager/usb_manager.cpp ${APP}/manager/device_list_poller.cpp
  ${APP}/manager/request_pump.cpp ${APP}/manager/reply_pump.cpp BELOW kv_packets)
kv_layer(shell SOURCES ${APP}/shell/app_globals.cpp ${APP}/shell/warning_popup.cpp
  ${APP}/shell/main_window.cpp ${APP}/shell/single_instance.cpp ${APP}/shell/tray_menu.cpp
  ${APP}/shell/device_policy_reader.cpp ${APP}/shell/registry_watch.cpp ${APP}/shell/stop_request.cpp
  BELOW kv_manager user32 gdi32 shell32 comctl32)
add_library(kv_engine INTERFACE)
target_link_libraries(kv_engine INTERFACE kv_shell)

if(NOT MSVC)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
if(NOT GOOGLETEST_SOURCE)
  set(GOOGLETEST_SOURCE /usr/src/googletest)
endif()
add_subdirectory(${GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

set(KV_RESOURCES ${APP}/resources/kvUsbRedirector.rc)
set_source_files_properties(${KV_RESOURCES} PROPERTIES
  OBJECT_DEPENDS "${APP}/resources/warning_popup.rc;${APP}/resources/tray_menu.rc;${APP}/resources/resource.h;${APP}/resources/kvUsbRedirector.ico;${KV_VERSION_DIR}/kvUsbRedirector.manifest;${APP}/resources/warning.bmp")
if(NOT MSVC)
  set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")
endif()
# The manifest is found in the version folder, made by configure_file above.
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${KV_VERSION_DIR}")

# The event log's message table: the exe is the source's EventMessageFile.
set(KV_MESSAGES_DIR ${CMAKE_BINARY_DIR}/messages)
set(KV_MESSAGES_RC ${KV_MESSAGES_DIR}/kvUsbRedirector.rc)
set(KV_MESSAGES_OUTPUTS ${KV_MESSAGES_RC} ${KV_MESSAGES_DIR}/kvUsbRedirector.h
  ${KV_MESSAGES_DIR}/MSG00409.bin)
if(MSVC)
  if(CMAKE_MC_COMPILER)
    set(KV_MC ${CMAKE_MC_COMPILER})
  else()
    find_program(KV_MC mc REQUIRED)
  endif()
else()
  find_program(KV_MC NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
endif()
add_custom_command(OUTPUT ${KV_MESSAGES_OUTPUTS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KV_MESSAGES_DIR}
  COMMAND ${KV_MC} -h ${KV_MESSAGES_DIR} -r ${KV_MESSAGES_DIR} ${APP}/resources/kvUsbRedirector.mc
  DEPENDS ${APP}/resources/kvUsbRedirector.mc
  COMMENT "Compiling the event message table")
set_source_files_properties(${KV_MESSAGES_RC} PROPERTIES
  OBJECT_DEPENDS ${KV_MESSAGES_DIR}/MSG00409.bin)

# The program itself: a GUI-subsystem exe whose entry is the wide _tWinMain.
add_executable(kvUsbRedirector WIN32 ${APP}/shell/win_main.cpp ${KV_RESOURCES} ${KV_MESSAGES_RC})
target_compile_options(kvUsbRedirector PRIVATE ${WIN_WARNINGS})
target_link_libraries(kvUsbRedirector PRIVATE kv_engine)
if(NOT MSVC)
  target_link_options(kvUsbRedirector PRIVATE -municode -mwindows)
endif()

# The simulator: the platform seam bound to a named-pipe terminal, a bus driver and an
# asynchronous port driver; the main job, the benchmark and the tests all run on it.
add_library(kv_sim STATIC
  sim/sim_endings.cpp
  sim/sim_io.cpp
  sim/sim_platform.cpp
  sim/sim_platform_channel.cpp
  sim/sim_port_driver.cpp
  sim/sim_terminal.cpp
  sim/sim_session.cpp
  sim/sim_hostile.cpp
  sim/sim_transcript.cpp
  sim/sim_user.cpp
)
target_include_directories(kv_sim PUBLIC ${CMAKE_SOURCE_DIR}/sim)
target_compile_options(kv_sim PRIVATE ${WIN_WARNINGS})
target_link_libraries(kv_sim PUBLIC kv_engine)
add_executable(kv_session_sim sim/session_main.cpp ${KV_RESOURCES})
target_compile_options(kv_session_sim PRIVATE ${WIN_WARNINGS})
target_link_libraries(kv_session_sim PRIVATE kv_sim)

# The benchmark and the soak, program code on the simulator (scripts/bench.sh, scripts/soak.sh).
set(KV_BENCH ${CMAKE_SOURCE_DIR}/tools/bench)
add_executable(kv_bench ${KV_BENCH}/bench_main.cpp ${KV_BENCH}/bench_meter.cpp
  ${KV_BENCH}/bench_limit.cpp ${KV_BENCH}/bench_engine.cpp ${KV_BENCH}/bench_idle.cpp
  ${KV_BENCH}/bench_report.cpp)
target_include_directories(kv_bench PRIVATE ${KV_BENCH})
target_compile_options(kv_bench PRIVATE ${WIN_WARNINGS})
target_link_libraries(kv_bench PRIVATE kv_sim psapi)
add_executable(kv_soak ${KV_BENCH}/soak_main.cpp ${KV_BENCH}/soak_handles.cpp)
target_compile_options(kv_soak PRIVATE ${WIN_WARNINGS})
target_link_libraries(kv_soak PRIVATE kv_sim psapi)

add_executable(kv_win_tests
  ${KV_RESOURCES}
  ${APP}/shell/win_main.cpp
  tests/support/fixtures.cpp
  tests/support/test_platform.cpp
  tests/win/transcript_test.cpp
  tests/win/engine_test.cpp
  tests/win/shell_test.cpp
  tests/win/completion_test.cpp
  tests/win/fault_test.cpp
  tests/win/device_test.cpp tests/win/device_life_test.cpp
  tests/win/policy_test.cpp
  ${KV_MESSAGES_DIR}/kvUsbRedirector.h
)
target_include_directories(kv_win_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_BINARY_DIR})
# The approved transcripts, as the tests' process sees the source tree (Wine: drive Z:).
target_compile_definitions(kv_win_tests PRIVATE
  KV_GOLDEN_DIR="$<$<NOT:$<BOOL:${MSVC}>>:Z:>${CMAKE_SOURCE_DIR}/tests/golden")
target_compile_options(kv_win_tests PRIVATE ${WIN_WARNINGS})
target_link_libraries(kv_win_tests PRIVATE kv_sim gtest_main)
add_dependencies(kv_win_tests kvUsbRedirector)
gtest_discover_tests(kv_win_tests DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 120)

# Static destructors log through the platform binding at exit; its unoptimised copy here
# (linked ahead of the engine's) aborts if it was destroyed first.
add_executable(kv_exit_check tests/win/exit_order_check.cpp tests/win/exit_order_platform.cpp)
set_source_files_properties(tests/win/exit_order_platform.cpp PROPERTIES COMPILE_OPTIONS -O0)
target_compile_options(kv_exit_check PRIVATE ${WIN_WARNINGS})
target_link_libraries(kv_exit_check PRIVATE kv_engine)
add_test(NAME Exit_order_test.ChannelDestructorLogsAfterEveryOtherStatic COMMAND kv_exit_check)

# The share dialog in a chosen language and the tray menu, for tools/screenshots; not tests.
option(KV_BUILD_PREVIEW "Build the previews used for screenshots" OFF)
if(KV_BUILD_PREVIEW)
  add_executable(kv_share_dialog_preview tools/screenshots/share_dialog_preview.cpp ${KV_RESOURCES})
  target_compile_options(kv_share_dialog_preview PRIVATE ${WIN_WARNINGS})
  target_link_libraries(kv_share_dialog_preview PRIVATE kv_engine)
  add_executable(kv_tray_menu_preview tools/screenshots/tray_menu_preview.cpp ${KV_RESOURCES})
  target_compile_options(kv_tray_menu_preview PRIVATE ${WIN_WARNINGS})
  target_link_libraries(kv_tray_menu_preview PRIVATE kv_engine)
  # The previews' device records are made as the simulated terminal makes them.
  target_include_directories(kv_share_dialog_preview PRIVATE ${CMAKE_SOURCE_DIR}/sim)
  target_include_directories(kv_tray_menu_preview PRIVATE ${CMAKE_SOURCE_DIR}/sim)
  if(NOT MSVC)
    target_link_options(kv_share_dialog_preview PRIVATE -municode)
    target_link_options(kv_tray_menu_preview PRIVATE -municode)
  endif()
endif()

configure_file(${APP}/resources/version.rc.in ${KV_VERSION_DIR}/kvUsbRedirector.rc @ONLY)
target_sources(kvUsbRedirector PRIVATE ${KV_VERSION_DIR}/kvUsbRedirector.rc)

# kvSessionControl: the package's LocalSystem helper that drains and restarts every session's
# instance; its logic is a library of its own, for the test's fake system.
set(KV_CONTROL ${CMAKE_SOURCE_DIR}/src/apps/kvSessionControl)
add_library(kv_session_control STATIC ${KV_CONTROL}/session_control.cpp)
target_compile_definitions(kv_session_control PUBLIC ${WIN_DEFINITIONS})
target_compile_options(kv_session_control PRIVATE ${WIN_WARNINGS})
configure_file(${KV_CONTROL}/kvSessionControl.rc.in ${KV_VERSION_DIR}/kvSessionControl.rc @ONLY)
add_executable(kvSessionControl ${KV_CONTROL}/main.cpp ${KV_CONTROL}/session_system_win32.cpp
  ${KV_VERSION_DIR}/kvSessionControl.rc)
target_compile_options(kvSessionControl PRIVATE ${WIN_WARNINGS})
target_link_libraries(kvSessionControl PRIVATE kv_session_control wtsapi32 userenv advapi32)
if(NOT MSVC)
  target_link_options(kvSessionControl PRIVATE -municode)
endif()
add_executable(kv_session_control_tests tests/win/session_control_test.cpp)
target_compile_options(kv_session_control_tests PRIVATE ${WIN_WARNINGS})
target_link_libraries(kv_session_control_tests PRIVATE kv_session_control gtest_main)
gtest_discover_tests(kv_session_control_tests DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 60)

# The per-machine MSI, when wixl is there to build it. wixl takes no absolute file paths: it runs
# in the exe's folder.
find_program(KV_WIXL wixl)
if(KV_WIXL)
  set(KV_WXS ${CMAKE_SOURCE_DIR}/installer/kvUsbRedirector.wxs)
  set(KV_MSI ${CMAKE_BINARY_DIR}/kvUsbRedirector-${PROJECT_VERSION}.msi)
  add_custom_command(OUTPUT ${KV_MSI}
    COMMAND ${KV_WIXL} -a x64 -D Version=${PROJECT_VERSION}
            -D KvExe=$<TARGET_FILE_NAME:kvUsbRedirector>
            -D KvControl=$<TARGET_FILE_NAME:kvSessionControl> -o ${KV_MSI} ${KV_WXS}
    COMMAND ${CMAKE_SOURCE_DIR}/installer/in_script_actions.sh ${KV_MSI} KvStartInstances
            KvStartInstancesAgain
    WORKING_DIRECTORY $<TARGET_FILE_DIR:kvUsbRedirector>
    DEPENDS kvUsbRedirector kvSessionControl ${KV_WXS} ${APP}/resources/kvUsbRedirector.ico
            ${CMAKE_SOURCE_DIR}/policy/kvUsbRedirector.admx
            ${CMAKE_SOURCE_DIR}/policy/en-US/kvUsbRedirector.adml
            ${CMAKE_SOURCE_DIR}/installer/in_script_actions.sh
    COMMENT "Building the MSI package")
  add_custom_target(kv_msi ALL DEPENDS ${KV_MSI})
  if(NOT MSVC)
    add_test(NAME Installer_test.SilentInstallUpgradeAndUninstall
      COMMAND ${CMAKE_SOURCE_DIR}/tests/installer/installer_test.sh
              ${KV_WIXL} ${KV_WXS} ${KV_MSI} ${PROJECT_VERSION})
    set_tests_properties(Installer_test.SilentInstallUpgradeAndUninstall PROPERTIES TIMEOUT 120)
    add_test(NAME Sign_test.ExeAndMsiCarryVerifiableSignatures
      COMMAND ${CMAKE_SOURCE_DIR}/tests/installer/sign_test.sh $<TARGET_FILE:kvUsbRedirector>)
  endif()
endif()
