// Replaced as the application module grows.
