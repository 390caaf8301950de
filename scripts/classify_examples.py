"""Classifies every SQL script under a folder and prints its level, counts and turn budgets,
and the reading plan of scripts longer than 500 lines."""

import sys
from pathlib import Path

import structlog

from agents.transmute.complexity import classify_sql_file, plan_reading_strategy


def main(folder: str) -> int:
    # The modules log debug events; this report prints its own lines instead.
    structlog.configure(wrapper_class=structlog.make_filtering_bound_logger(20))
    paths = sorted(Path(folder).rglob("*.sql"))
    if not paths:
        print(f"no .sql files under {folder}", file=sys.stderr)
        return 1
    for path in paths:
        result = classify_sql_file(path)
        print(f"{path}: {result.complexity}")
        print(f"  effective lines {result.effective_lines}, stored procedures {result.stored_proc_count}, "
              f"complex constructs {result.complex_construct_count}, moderate constructs "
              f"{result.moderate_construct_count}, temp tables {result.temp_table_count}, CTEs {result.cte_count}")
        print(f"  turns: analysis {result.recommended_analysis_turns}, conversion "
              f"{result.recommended_conversion_turns}, audit {result.recommended_audit_turns}")
        plan = plan_reading_strategy(path)
        if plan.should_chunk:
            print("  reading plan:")
            for line in plan.format_reading_instructions(str(path)).splitlines():
                print(f"    {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "examples"))
