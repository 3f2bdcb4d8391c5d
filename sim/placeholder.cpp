// Replaced as the simulated machine grows.
