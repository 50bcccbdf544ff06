# Real GPU. One CUDA runtime per process: the shared libcudart, which loads
# libcuda.so.1 itself at run time and so needs no driver to load. A static
# runtime would not do: libcudart_static keeps its symbols hidden, so every
# library with kernels would carry a copy of its own, with its own kernel
# registry and its own pending error, and the seam could neither launch their
# kernels nor read their errors. The driver API is looked up at run time too
# (driver.cpp), so devdriver links nothing of the toolkit. libcublas.so needs
# no driver to load and is linked directly.
find_package(Threads REQUIRED)
set_target_properties(devseam PROPERTIES CUDA_RUNTIME_LIBRARY Shared)
# The toolkit's headers reach every user: devtypes.h takes its vector types from them.
target_link_libraries(devdriver PUBLIC CUDA::toolkit PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
target_link_libraries(devseam PRIVATE CUDA::cudart CUDA::cublas Threads::Threads)
