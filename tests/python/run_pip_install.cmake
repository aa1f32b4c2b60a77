# Script mode (cmake -P): installs the package with pip into a fresh virtual
# environment and uses it from another directory, with no variable pointing
# at the library or the sources' package.

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/run_command.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/elsewhere)
# pip builds a local directory in place; a copy keeps the build's leftovers
# out of the checkout, and the variable points the build at the sources.
file(COPY ${SOURCE_DIR}/python/ DESTINATION ${WORK_DIR}/package
  PATTERN __pycache__ EXCLUDE PATTERN build EXCLUDE PATTERN *.egg-info EXCLUDE)
run(${PYTHON} -m venv --system-site-packages ${WORK_DIR}/venv)
set(venv_python ${WORK_DIR}/venv/bin/python)
run(${CMAKE_COMMAND} -E env PYTOVRIK_VIDEO_SOURCE_DIR=${SOURCE_DIR} "CMAKE_ARGS=${CMAKE_ARGS}"
  PIP_DISABLE_PIP_VERSION_CHECK=1
  ${venv_python} -m pip install --no-build-isolation --no-index --no-cache-dir ${WORK_DIR}/package)

set(check [=[
import sys
from pathlib import Path
import pytovrik_video as p
for loaded in (p._library.library().cdll._name, p._library.file_library().cdll._name):
    assert Path(loaded).parent == Path(p.__file__).parent and sys.prefix in loaded, loaded
frames = p.decode_h264(p.split_annexb(Path(sys.argv[1]).read_bytes()), output="rgb", size=(32, 24))
video = p.VideoFile(sys.argv[1])
print(len(frames), frames[0].rgb.shape, len(video), video.get_frames([74, 3], size=(32, 24)).data.shape)
]=])
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=PYTOVRIK_VIDEO_LIBRARY --unset=PYTOVRIK_VIDEO_FILE_LIBRARY
    --unset=PYTHONPATH
    --unset=LD_LIBRARY_PATH ${venv_python} -c "${check}" ${SAMPLE}
  WORKING_DIRECTORY ${WORK_DIR}/elsewhere
  RESULT_VARIABLE result OUTPUT_VARIABLE printed ERROR_VARIABLE err)
string(STRIP "${printed}" printed)
if(NOT result EQUAL 0 OR NOT printed STREQUAL "75 (24, 32, 3) 75 (2, 24, 32, 3)")
  message(FATAL_ERROR "the installed package printed '${printed}' (status ${result}):\n${err}")
endif()
message(STATUS "installed package: ${printed}")
