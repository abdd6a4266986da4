"""The large search against DirectLiNGAM in wall time, one fit after the
other on the same data (no cache, nothing else of ours running), at the
cells of bench/compare.py's large section where the ratio is closest.

    .venv/bin/python bench/large_timing.py

Prints, per data set, both methods' seconds and ancestor-pair accuracy and
DirectLiNGAM's time over the large search's.
"""

import time

import varkel
from _hard_data import hard_dag
from _machine import processor_name
from compare import order_accuracy, run_peer

print(f"processor: {processor_name()}; kernel arithmetic "
      f"{varkel._engine.plan(0, 0)['arithmetic']}")
CELLS = [(100, 1000, 1, 3.0, 0, "mixed"), (100, 1000, 0, 1.5, 1, "near-gaussian"),
         (100, 300, 1, 3.0, 0, "mixed")]
for n, m, d_index, density, v_index, variant in CELLS:
    # the first data set of the cell in bench/compare.py --sections large
    sim = hard_dag(n, m, (((n * 10007 + m) * 7 + d_index) * 2 + v_index) * 100,
                   density=density, variant=variant)
    began = time.perf_counter()
    model = varkel.ExhaustiveLiNGAM().fit(sim.X)
    seconds = time.perf_counter() - began
    peer = run_peer("direct", {"s0": sim.X}, "", 0)["s0"]
    print(f"n {n} m {m} density {density:g} {variant}: large {seconds:.1f} s, order "
          f"{order_accuracy(sim.adjacency, model.causal_order_):.3f}; DirectLiNGAM "
          f"{peer['seconds']:.1f} s, order {order_accuracy(sim.adjacency, peer['order']):.3f};"
          f" ratio {peer['seconds'] / seconds:.1f}", flush=True)
