// Intentionally empty until the first common unit lands.
