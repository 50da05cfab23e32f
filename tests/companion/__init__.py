"""Tests of the companion module tavrin_estimate (run by scripts/stages/50-companion.sh)."""
