"""Orders of more variables than one exact search takes: blocks searched one
after another.

Prior knowledge that puts every variable of one set before every variable
of another (tiers: background, exposures, outcomes; or measurement waves)
cuts the order into blocks. Only the variables before a block enter its
variables' regressions, and by the Frisch-Waugh-Lovell theorem a regression
on (earlier blocks + some of the block) leaves the same residuals as one of
the block's variables with the earlier blocks regressed out, on the others
with the same done to them. So each block is an ordinary exact search of
its own variables, on the data with every earlier block regressed out, and
the best order is the blocks' best orders one after another.

A block of more than 30 variables is searched by the large search
(large.py) or by windows (windows.py). The window search starts from a
greedy order and searches each run of w consecutive positions exactly on
the data with the positions before it regressed out, until a sweep of
windows improves nothing. The large search scores each variable against its
candidate parents among its predecessors only (candidates.py), starts from
DirectLiNGAM's pairwise rule or a beam (starts.py, beam.py), and moves
single variables and exact windows (moves.py), with restarts.

plan.py turns tiers and prior knowledge into blocks; prefix.py regresses
out what comes before; state.py keeps a block search's checkpoint file;
run.py searches the blocks and puts their orders, totals and margins
together.
"""
