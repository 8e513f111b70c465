#include "PelluxCore/MLModelLoading.hpp"
