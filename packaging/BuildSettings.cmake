# Build settings shared by the program and its installed files. Included from
# the top CMakeLists.txt before the subfolders, so every target can use them.
include(GNUInstallDirs)

set(VANTELO_HOME_PAGE "https://vantelo.example.org/" CACHE STRING
  "The maker's home page: about window, \"go to homepage\", AppStream file")
set(VANTELO_ONLINE_HELP "https://vantelo.example.org/helpfile.htm" CACHE STRING
  "The page that \"online help\" opens")
set(VANTELO_SUPPORT_EMAIL "support@vantelo.example.org" CACHE STRING
  "The support address of the about window")

# Where the shipped help and tips are installed, and the same place as seen
# from the installed programs, so an installed tree can be moved as a whole
# (cmake --install --prefix).
set(VANTELO_DATA_DESTINATION "${CMAKE_INSTALL_DATADIR}/vantelo")
file(RELATIVE_PATH VANTELO_DATA_FROM_BIN
  "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_DATADIR}/vantelo")
