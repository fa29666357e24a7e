"""How long things may take before they count as a stall."""

# How long an operation may take to end after a close or hang-up, a
# connection to report connection_lost, or a stream's reader to catch up
# with its writer at the end, before it counts as a stall.
HANG_LIMIT = 10.0
# At the end of a stream: when its receiver got nothing for this long, what
# has not arrived counts as lost. Longer than a stalled done-callback holds
# the runtime's workers.
QUIET = 3.0
