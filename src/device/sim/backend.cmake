# Simulated device: fibers on Boost.Context's fcontext, blocks on a thread pool.
find_package(Threads REQUIRED)
find_library(SIMDEV_BOOST_CONTEXT NAMES boost_context REQUIRED)
target_link_libraries(devseam PRIVATE ${SIMDEV_BOOST_CONTEXT} Threads::Threads)
