# Qt's own texts (the buttons of the question and message boxes, for one) come from the system's
# Qt catalogue "qt_<locale>.qm".  That file holds no texts itself: it names the catalogues that do
# (qtbase_<locale>.qm and its siblings), which QTranslator loads from the same folder, and the
# whole catalogue is refused when one of them is missing.  So each goes with the others.

# The Qt translations folder of the system (Debian: qttranslations5-l10n).
function(vx_qt_translations_dir out)
  get_target_property(qmake Qt5::qmake IMPORTED_LOCATION)
  execute_process(COMMAND ${qmake} -query QT_INSTALL_TRANSLATIONS
    OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    set(dir "")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

# vx_qt_catalogue_files(<out> <translations dir> <locale>): the full paths of "qt_<locale>.qm" and
# of every catalogue it names; empty when the system has no "qt_<locale>.qm".
function(vx_qt_catalogue_files out dir locale)
  set(files "")
  set(main "${dir}/qt_${locale}.qm")
  if(EXISTS "${main}")
    list(APPEND files "${main}")
    # The names are stored as UTF-16 text; a catalogue has a dependency only on others of its
    # own locale.
    file(STRINGS "${main}" texts ENCODING UTF-16BE)
    string(REGEX MATCHALL "qt[a-z0-9]*_${locale}" names "${texts}")
    list(REMOVE_DUPLICATES names)
    foreach(name IN LISTS names)
      if(NOT name STREQUAL "qt_${locale}" AND EXISTS "${dir}/${name}.qm")
        list(APPEND files "${dir}/${name}.qm")
      elseif(NOT name STREQUAL "qt_${locale}")
        message(WARNING "${main} names ${name}.qm, which is missing: Qt's texts stay English for ${locale}")
      endif()
    endforeach()
  endif()
  set(${out} "${files}" PARENT_SCOPE)
endfunction()
