# The one list of deliverables. Every check that concerns all calculators
# (exports, loading side by side, the Windows build, sanitizers, fuzzing,
# hostile sheets) iterates over this list, so a calculator joins all of them
# by being listed here.
#
# Each entry: library name | exported entry | source folder
set(MERIDOX_DELIVERABLES
  "orvalis|main4|projection"
  "quendra|main3|proximity"
  "talvek|main1|plate"
  "drovik1|main2_1|stage"
  "drovik2|main2_2|stage"
  "drovik3|main2_3|stage"
)
list(LENGTH MERIDOX_DELIVERABLES MERIDOX_DELIVERABLES_COUNT)
