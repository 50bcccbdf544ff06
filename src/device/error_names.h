// Names of the driver result codes that the seam returns itself or that code
// above it names, for a backend that has no driver to ask.
#pragma once

namespace dev {

inline const char *known_driver_error_name(int code) {
    switch (code) {
    case 0: return "CUDA_SUCCESS";
    case 1: return "CUDA_ERROR_INVALID_VALUE";
    case 2: return "CUDA_ERROR_OUT_OF_MEMORY";
    case 3: return "CUDA_ERROR_NOT_INITIALIZED";
    case 4: return "CUDA_ERROR_DEINITIALIZED";
    case 34: return "CUDA_ERROR_STUB_LIBRARY";
    case 46: return "CUDA_ERROR_DEVICE_UNAVAILABLE";
    case 100: return "CUDA_ERROR_NO_DEVICE";
    case 101: return "CUDA_ERROR_INVALID_DEVICE";
    case 200: return "CUDA_ERROR_INVALID_IMAGE";
    case 201: return "CUDA_ERROR_INVALID_CONTEXT";
    case 209: return "CUDA_ERROR_NO_BINARY_FOR_GPU";
    case 218: return "CUDA_ERROR_INVALID_PTX";
    case 222: return "CUDA_ERROR_UNSUPPORTED_PTX_VERSION";
    case 300: return "CUDA_ERROR_INVALID_SOURCE";
    case 400: return "CUDA_ERROR_INVALID_HANDLE";
    case 500: return "CUDA_ERROR_NOT_FOUND";
    case 700: return "CUDA_ERROR_ILLEGAL_ADDRESS";
    case 701: return "CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES";
    case 702: return "CUDA_ERROR_LAUNCH_TIMEOUT";
    case 719: return "CUDA_ERROR_LAUNCH_FAILED";
    case 801: return "CUDA_ERROR_NOT_SUPPORTED";
    case 999: return "CUDA_ERROR_UNKNOWN";
    default: return "unrecognized error code";
    }
}

}  // namespace dev
