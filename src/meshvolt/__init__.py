"""meshvolt: steady-state load flow of unbalanced multi-phase distribution networks."""
