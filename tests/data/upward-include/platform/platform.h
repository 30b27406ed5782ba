// The bottom layer of a tree whose layers do not hold (layers.check_fails).
