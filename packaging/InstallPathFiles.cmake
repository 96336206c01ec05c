# Install-time part of packaging/CMakeLists.txt: the D-Bus service file and the browser-host
# manifests hold the absolute paths of the installed programs, known only once the prefix is.
foreach(_dir QUORVEL_BINDIR QUORVEL_DATADIR QUORVEL_LIBDIR)
  if(IS_ABSOLUTE "${${_dir}}")
    set(_full_${_dir} "${${_dir}}")
  else()
    set(_full_${_dir} "${CMAKE_INSTALL_PREFIX}/${${_dir}}")
  endif()
endforeach()
set(QUORVEL_EXECUTABLE "${_full_QUORVEL_BINDIR}/quorvel")
set(QUORVEL_HOST_PATH "${_full_QUORVEL_BINDIR}/quorvel-extension-host")
set(_manifest com.tessaline.quorvel.json)
# One folder per destination: two installs from one build tree at once (into different staging
# folders) must not write the same generated files.
string(MD5 _destination "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(QUORVEL_GENERATED_DIR "${QUORVEL_GENERATED_DIR}/${_destination}")
file(MAKE_DIRECTORY "${QUORVEL_GENERATED_DIR}/chromium" "${QUORVEL_GENERATED_DIR}/firefox")
configure_file("${QUORVEL_PACKAGING_DIR}/com.tessaline.Quorvel.service.in"
  "${QUORVEL_GENERATED_DIR}/com.tessaline.Quorvel.service" @ONLY)
configure_file("${QUORVEL_PACKAGING_DIR}/native-messaging/chromium.json.in"
  "${QUORVEL_GENERATED_DIR}/chromium/${_manifest}" @ONLY)
configure_file("${QUORVEL_PACKAGING_DIR}/native-messaging/firefox.json.in"
  "${QUORVEL_GENERATED_DIR}/firefox/${_manifest}" @ONLY)

file(INSTALL DESTINATION "${_full_QUORVEL_DATADIR}/dbus-1/services" TYPE FILE
  FILES "${QUORVEL_GENERATED_DIR}/com.tessaline.Quorvel.service")

# Firefox looks below lib (lib64 on some systems), LibreWolf below its own folder.
set(_firefox_dirs "${CMAKE_INSTALL_PREFIX}/lib/mozilla/native-messaging-hosts"
  "${CMAKE_INSTALL_PREFIX}/lib/librewolf/native-messaging-hosts")
if(QUORVEL_LIBDIR MATCHES "lib64$")
  list(APPEND _firefox_dirs "${CMAKE_INSTALL_PREFIX}/lib64/mozilla/native-messaging-hosts")
endif()
foreach(_dir ${_firefox_dirs})
  file(INSTALL DESTINATION "${_dir}" TYPE FILE FILES "${QUORVEL_GENERATED_DIR}/firefox/${_manifest}")
endforeach()

# Chromium-family browsers read only fixed folders under /etc (Opera reads Chrome's).
if(QUORVEL_INSTALL_SYSTEM_BROWSER_HOSTS)
  if(DEFINED ENV{DESTDIR} OR CMAKE_INSTALL_PREFIX MATCHES "^/usr(/|$)")
    foreach(_dir /etc/opt/chrome /etc/chromium /etc/opt/brave /etc/opt/vivaldi /etc/opt/edge)
      file(INSTALL DESTINATION "${_dir}/native-messaging-hosts" TYPE FILE
        FILES "${QUORVEL_GENERATED_DIR}/chromium/${_manifest}")
    endforeach()
  else()
    message(STATUS "Not installing the Chromium-family host manifests under /etc for the prefix "
      "${CMAKE_INSTALL_PREFIX}: run \"quorvel --install-browser-hosts\" as the user instead")
  endif()
endif()
