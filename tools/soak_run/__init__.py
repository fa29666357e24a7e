"""The soak: every face of corvalink at once, each stream checked byte for
byte. Run it as `python -m soak_run` with tools/ on the path (tools/soak
builds the module and does so)."""
