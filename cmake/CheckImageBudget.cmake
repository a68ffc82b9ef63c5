# Fails the build when a shipped image passes its flash budget, naming the image, its size and
# the budget. The image is removed, so the next build makes it again rather than taking it.
#   cmake -DIMAGE=path/to/Name.efi -DBUDGET=6144 -P CheckImageBudget.cmake
file(SIZE "${IMAGE}" size)
if(size GREATER BUDGET)
  file(REMOVE "${IMAGE}")
  get_filename_component(name "${IMAGE}" NAME)
  message(FATAL_ERROR "${name}: ${size} bytes, over its budget of ${BUDGET} bytes")
endif()
