"""The process-wide interrupt flag shared by every native module of quennel.

The state and its functions live in :mod:`quennel.interrupt.interrupt`.
"""
