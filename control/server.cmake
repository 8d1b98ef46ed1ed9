# The in-process COM server, libvelmora.so: the control object with the
# standard machinery, the class factory and registration, and the type
# library generated from the member table. The server's code is a static
# library too, so tests can reach its seams without loading the .so (no
# process both links the engine and loads the library).
add_library(velmora_server STATIC
  com_server.cpp
  form_stream.cpp
  ole_control.cpp
  typelib_build.cpp
  velmorax_object.cpp
)
target_link_libraries(velmora_server PUBLIC velmora_control)

add_executable(velmora-typelib typelib_gen.cpp)
target_link_libraries(velmora-typelib PRIVATE velmora_server)

set(VELMORA_TLB ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/libvelmora.tlb)
add_custom_command(OUTPUT ${VELMORA_TLB}
  COMMAND velmora-typelib ${VELMORA_TLB}
  DEPENDS velmora-typelib
  COMMENT "Generating the type library libvelmora.tlb")
add_custom_target(velmora_tlb DEPENDS ${VELMORA_TLB})

# Exactly the four Dll* exports; never unmapped by a host's dlclose; finds
# libvelmora-platform.so beside itself. The type library goes into its own
# section after linking.
add_library(velmora SHARED com_server_exports.cpp)
target_link_libraries(velmora PRIVATE $<LINK_LIBRARY:WHOLE_ARCHIVE,velmora_server>)
add_dependencies(velmora velmora_tlb)
set_target_properties(velmora PROPERTIES
  OUTPUT_NAME velmora
  BUILD_RPATH_USE_ORIGIN ON
  BUILD_RPATH "$ORIGIN"
  INSTALL_RPATH "$ORIGIN"
  LINK_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/libvelmora.map;${VELMORA_TLB}")
target_link_options(velmora PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/libvelmora.map
  -Wl,-z,nodelete
  -Wl,--enable-new-dtags)
add_custom_command(TARGET velmora POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} --add-section .velmora_typelib=${VELMORA_TLB}
          --set-section-flags .velmora_typelib=readonly,contents $<TARGET_FILE:velmora>
  COMMENT "Embedding the type library in libvelmora.so")
