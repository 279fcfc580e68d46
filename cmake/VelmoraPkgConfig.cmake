# velmora.pc: relocatable, and complete for a plain `pkg-config --cflags --libs velmora`.
#
# A static libvelmora.a needs libcurl and expat at link time, so they are public requirements
# then; a shared library carries them itself. `--static` additionally asks for libcurl's own
# static dependencies (-lzstd, -lpsl, ...), which a stock system lacks: it is only for linking a
# fully static program, and plain --libs is the form for everything else.

# From <prefix>/<libdir>/pkgconfig back up to <prefix>: "../.." for "lib".
file(RELATIVE_PATH VELMORA_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
string(REGEX REPLACE "/$" "" VELMORA_PC_TO_PREFIX "${VELMORA_PC_TO_PREFIX}")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "velmora.pc needs CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR "
                      "relative to the prefix")
endif()

if(BUILD_SHARED_LIBS)
  set(VELMORA_PC_REQUIRES "nlohmann_json")
  set(VELMORA_PC_REQUIRES_PRIVATE "libcurl expat")
  set(VELMORA_PC_CFLAGS "")
  set(VELMORA_CAMPAIGN_PC_REQUIRES "")
  set(VELMORA_CAMPAIGN_PC_REQUIRES_PRIVATE "sqlite3 libcrypto")
else()
  set(VELMORA_PC_REQUIRES "nlohmann_json libcurl expat")
  set(VELMORA_PC_REQUIRES_PRIVATE "")
  set(VELMORA_PC_CFLAGS " -DVELMORA_STATIC_DEFINE")
  set(VELMORA_CAMPAIGN_PC_REQUIRES ", sqlite3, libcrypto")
  set(VELMORA_CAMPAIGN_PC_REQUIRES_PRIVATE "")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/velmora.pc.in ${PROJECT_BINARY_DIR}/velmora.pc @ONLY)
# velmora-testing.pc: the scripted transport (Velmora::testing); `Requires: velmora` brings the
# core's flags and libraries after its own, the order a static link needs.
configure_file(${CMAKE_CURRENT_LIST_DIR}/velmora-testing.pc.in
               ${PROJECT_BINARY_DIR}/velmora-testing.pc @ONLY)
# velmora-campaign.pc: the campaigns (Velmora::campaign), with SQLite and libcrypto beside.
configure_file(${CMAKE_CURRENT_LIST_DIR}/velmora-campaign.pc.in
               ${PROJECT_BINARY_DIR}/velmora-campaign.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velmora.pc ${PROJECT_BINARY_DIR}/velmora-testing.pc
              ${PROJECT_BINARY_DIR}/velmora-campaign.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
