// The heavy template libraries every engine translation unit uses, compiled once.
#pragma once

#include <complex>
#include <memory>
#include <vector>

#include <cppad/cppad.hpp>
#include <cppad/example/cppad_eigen.hpp>
#include <Eigen/Dense>
#include <Eigen/Sparse>
#include <spdlog/spdlog.h>
