// Kernels arrive with the estimator.
