"""A stand-in for the platform, for running and testing programs offline."""
