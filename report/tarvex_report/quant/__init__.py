"""Quantitation: from peak areas to amounts a monitoring network reports.

- settings: per-compound model, weighting and acceptance limits (the peak
  table's optional fields), and the table's own settings;
- standards: the standards file (certified amounts);
- inputs: a cycle's kind (Meta_<stamp>.json) and peaks (<stamp>.peaks.csv);
- models, calibration: curves fitted and judged; detection: detection limits;
- identify: which peak is which compound; amounts: rows and their flags;
- ledger.quantify: calibrations and amounts of a sequence of cycles, from a
  state that can be stored and resumed;
- folder.update_quantitation: a report folder kept up to date, day by day;
- outputs, calfigure, cdfamounts: the files written.

Nothing is imported here: the peak table reads settings without loading
the rest."""
