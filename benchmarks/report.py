"""The table and the JSON document of one benchmark run."""


class Report:
    def __init__(self, **context):
        self.data = {"context": context, "results": {}, "targets": {}}
        self._rows = []   # (item, value text, target text, verdict)

    def _row(self, item, value, target="", verdict=""):
        self._rows.append((item, value, target, verdict))

    def _target(self, key, ratio, limit, below=True):
        met = ratio <= limit if below else ratio < limit
        self.data["targets"][key] = {"value": ratio, "limit": limit, "met": met}
        return "met" if met else "NOT met"

    def full_run(self, kind, r, limit):
        self.data["results"][f"full_run_{kind}"] = r
        verdict = self._target(f"full_run_{kind}_ratio_to_floor", r["ratio_to_floor"], limit)
        self._row(f"full run, {kind}: runs/s", f"{r['runs_per_s']:,.0f}")
        self._row(f"  us per run (median of {r['runs']})", f"{r['us_per_run']:.1f}")
        self._row("    thread start / pipeline body / result()",
                  f"{r['thread_start_us']:.1f} / {r['pipeline_body_us']:.1f} / "
                  f"{r['result_us']:.1f}")
        self._row(f"  floor us per run ({r['floor']['collaborator_calls']} calls)",
                  f"{r['floor_us_per_run']:.1f}")
        self._row("  ratio to the floor", f"{r['ratio_to_floor']:.2f}x", f"<= {limit}x", verdict)

    def creation(self, r, limit):
        self.data["results"]["handle_creation"] = r
        verdict = self._target("handle_creation_ratio_to_bare_thread", r["ratio_to_bare_thread"],
                               limit)
        self._row("handle creation, acquire at once: us", f"{r['at_once_us']:.1f}")
        self._row("  bare threading.Thread start + join: us", f"{r['bare_thread_us']:.1f}")
        self._row("  ratio to the bare thread", f"{r['ratio_to_bare_thread']:.2f}x",
                  f"<= {limit}x", verdict)
        self._row("handle creation, acquire after 50 ms: ms", f"{r['acquire_after_50ms_ms']:.1f}")

    def status(self, r, limit):
        self.data["results"]["status"] = r
        for label, text in (("alone", "alone"), ("8_threads", "8 threads polling")):
            s = r[label]
            verdict = self._target(f"status_{label}_ratio_to_baseline", s["ratio_to_baseline"],
                                   limit)
            self._row(f"status(), {text}: ns per call", f"{s['ns_per_call']:.0f}")
            self._row("  plain-Python baseline: ns per call", f"{s['baseline_ns_per_call']:.0f}")
            self._row("  ratio to the baseline", f"{s['ratio_to_baseline']:.2f}x", f"<= {limit}x",
                      verdict)

    def many(self, r, limit):
        self.data["results"]["many_handles"] = r
        verdict = self._target("rss_per_live_handle_kib", r["rss_per_handle_kib"], limit,
                               below=False)
        single = "met" if r["request_for_sync_calls"] == 1 else "NOT met"
        self.data["targets"]["one_request_for_sync"] = {
            "value": r["request_for_sync_calls"], "limit": 1, "met": single == "met"}
        n = r["handles"]
        self._row(f"{n} live handles, slow sync: request_for_sync() calls",
                  str(r["request_for_sync_calls"]), "== 1", single)
        self._row(f"  create all {n}: s", f"{r['create_all_s']:.2f}")
        self._row("  all complete after the sync returned: s", f"{r['complete_after_sync_s']:.2f}")
        self._row("  all passed", str(r["all_passed"]))
        self._row("  RSS per live handle (thread stack included): KiB",
                  f"{r['rss_per_handle_kib']:.1f}", f"< {limit}", verdict)

    def gather(self, r, limit):
        self.data["results"]["gather"] = r
        verdict = self._target("gather_rss_growth_kib_per_round", r["rss_growth_kib_per_round"],
                               limit, below=False)
        unchanged = r["threads_listed_after"] == r["threads_listed_before"]
        self.data["targets"]["gather_threads_listed_unchanged"] = {
            "value": r["threads_listed_after"], "limit": r["threads_listed_before"],
            "met": unchanged}
        self._row(f"asyncio.gather of {r['handles_per_round']:,} handles, "
                  f"{r['rounds']} rounds: s per round", f"{r['s_per_round']:.2f}")
        self._row("  all passed", str(r["all_passed"]))
        self._row("  RSS growth per round: KiB", f"{r['rss_growth_kib_per_round']:.0f}",
                  f"< {limit}", verdict)
        self._row("  threading.enumerate() before / after the rounds",
                  f"{r['threads_listed_before']} / {r['threads_listed_after']}", "unchanged",
                  "met" if unchanged else "NOT met")

    def instructions(self, r, signal_limit):
        self.data["results"]["instructions"] = r
        if "skipped" in r:
            self._row("instructions per run (callgrind)", "skipped: " + r["skipped"])
            return
        for kind in ("signal", "strategy"):
            v = r[kind]
            if kind == "signal":
                verdict = self._target("instructions_signal", v["module"], signal_limit)
                self._row(f"instructions per run (callgrind), {kind}", f"{v['module']:,.0f}",
                          f"<= {signal_limit:,}", verdict)
            else:
                self._row(f"instructions per run (callgrind), {kind}", f"{v['module']:,.0f}")
            self._row("  floor", f"{v['floor']:,.0f}")
            self._row("  ratio to the floor", f"{v['ratio_to_floor']:.2f}x")

    def search(self, r, limit):
        self.data["results"]["search"] = r
        if "skipped" in r:
            self._row("candidate search", "skipped: " + r["skipped"])
            return
        self._row(f"search of {r['candidates']} candidates "
                  f"(median of {r['rounds']}): simulations/s", "")
        for key, label in (("in_process", "in one process, all handles at once"),
                           ("workers_1", "local cluster, 1 worker process"),
                           ("workers_2", "local cluster, 2 worker processes")):
            if key in r:
                crashed = f" ({r[key]['crashed']} crashed)" if r[key]["crashed"] else ""
                self._row(f"  {label}{crashed}", f"{r[key]['simulations_per_s']:.1f}")
        if "overhead_1_worker" in r:
            verdict = self._target("search_overhead_1_worker", r["overhead_1_worker"], limit)
            self._row("  overhead per simulation, 1 worker over one process",
                      f"{r['overhead_1_worker']:.1%}", f"<= {limit:.0%}", verdict)
        if "efficiency_2_workers" in r:
            self._row("  parallel efficiency, 2 workers (rate / 2x one worker's)",
                      f"{r['efficiency_2_workers']:.0%}")
            self._row("  speed-up, 2 workers over one process",
                      f"{r['speed_up_2_workers_over_in_process']:.2f}x")
        for key in ("workers_1", "workers_2"):
            if key in r:
                self._row(f"  {key[-1]} worker(s): per-task overhead ms / "
                          "start-up, wiring and probe s",
                          f"{r[key]['task_overhead_ms']:.1f} / {r[key]['start_up_s']:.1f}")

    def all_met(self):
        return all(t["met"] for t in self.data["targets"].values())

    def table(self):
        width = max(len(r[0]) for r in self._rows)
        value_width = max(len(r[1]) for r in self._rows)
        lines = [f"{'':{width}}  {'value':>{value_width}}  target",
                 "-" * (width + value_width + 20)]
        for item, value, target, verdict in self._rows:
            tail = f"  {target} {verdict}".rstrip() if target else ""
            lines.append(f"{item:{width}}  {value:>{value_width}}{tail}")
        return "\n".join(lines)
