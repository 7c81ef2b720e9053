# The application manifests of the Windows programs, embedded as resource 1 of type 24
# (RT_MANIFEST), the one Windows reads when it starts a program.
#   velmora_configure_manifest(TARGET TEMPLATE): writes TARGET.manifest into the current build
#     folder, for a resource script of the target's own to include (velmora.rc does).
#   velmora_console_manifest(TARGET): the console programs' manifest, with a resource script of
#     its own.

# What every manifest says: the Windows versions the programs were written for (so that the
# system shows them its own behaviour, not an older one's), and that they run with the rights of
# the user who starts them.
set(VELMORA_MANIFEST_COMMON [=[  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">
    <application>
      <supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>  <!-- Windows 7 -->
      <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>  <!-- Windows 8 -->
      <supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>  <!-- Windows 8.1 -->
      <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>  <!-- Windows 10 and 11 -->
    </application>
  </compatibility>
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>]=])

function(velmora_configure_manifest target template)
  set(VELMORA_MANIFEST_NAME ${target})
  set(VELMORA_MANIFEST_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0)
  configure_file(${template} ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest @ONLY)
endfunction()

function(velmora_console_manifest target)
  velmora_configure_manifest(${target} ${PROJECT_SOURCE_DIR}/cmake/windows/console.manifest.in)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target}_manifest.rc "1 24 \"${target}.manifest\"\n")
  # Its own object library: the compiler's warning flags mean nothing to windres.
  add_library(${target}_manifest OBJECT ${CMAKE_CURRENT_BINARY_DIR}/${target}_manifest.rc)
  target_include_directories(${target}_manifest PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${target}_manifest.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_manifest>)
endfunction()
