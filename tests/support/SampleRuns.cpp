#include "SampleRuns.h"

#include "history/HistoryDb.h"

bool AddSampleRuns(const std::string& path, int n, const std::string& host, std::string& error,
                   const std::string& firstUuid)
{
    CHistoryDb db;
    if (!db.Open(path, true, error))
        return false;
    for (int i = 0; i < n; ++i) {
        CHistoryRun run;
        run.time = "2026-12-0" + std::to_string(1 + i % 9) + "T10:00:00.000Z";
        run.toolVersion = "1.0.8";
        run.host = host;
        run.program = "velunda-cli";
        run.package = "/srv/pkg/QuorinV2.QVP";
        run.sha256 = std::string(64, 'a');
        run.signatureState = "valid";
        run.signerKeyId = "k-" + std::to_string(i % 3);
        run.signerName = "Release key";
        run.model = "Quorin V2";
        run.link = "USB (libftdi)";
        run.serial = host + "-" + std::to_string(i);
        run.versionsBefore = R"({"MAIN":"M1.000"})";
        run.outcome = i % 5 == 0 ? "failed" : "success";
        run.exitCode = i % 5 == 0 ? 1 : 0;
        run.durationMs = 1000 + i;
        run.items = {{"MAIN", "SM.bin", "2.10", 17000, "Complete", 800},
                     {"CDM", "CDM.NHB", "1.02", 9000, "", -1}};
        if (i == 0)
            run.runUuid = firstUuid;
        if (!db.Add(run, error))
            return false;
    }
    return true;
}
