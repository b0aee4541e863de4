#include "gateway/site_page.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "present/json_text.h"

namespace karvello::gateway {
namespace {

// The page's style: a table on a laptop, a card a detector on a phone.
constexpr std::string_view kStyle = R"(
body{font-family:sans-serif;margin:0 auto;padding:1em;max-width:70em;color:#222}
h1{font-size:1.4em;margin:.2em 0}#refreshed{color:#555;margin:.2em 0 1em}
dl{display:grid;grid-template-columns:max-content 1fr;gap:.3em 1em;margin:0 0 1em}
dt{font-weight:bold}dd{margin:0;overflow-wrap:anywhere}
.bad{color:#b00000;font-weight:bold}
table{border-collapse:collapse;width:100%}th,td{border:1px solid #bbb;padding:.35em .5em;text-align:left}
th{background:#eee}tr.alarm{background:#ffd6d6}tr.alarm td.a{color:#b00000;font-weight:bold}
td.failed{background:#ffe9c2;color:#8a4b00}td.old{background:#e4e4e4;color:#666;font-style:italic}
#legend{color:#555;font-size:.9em}
@media (max-width:40em){thead{display:none}table,tbody,tr,td{display:block;width:auto}
tr{border:1px solid #999;margin:0 0 .8em}td{border:none;border-bottom:1px solid #ddd}
td::before{content:attr(data-label) "：";font-weight:bold}}
)";

// The script: asks /api/status every few seconds, redraws the summary and the table as the
// server drew them, and says when it last did.
constexpr std::string_view kScript = R"(
(function(){
const W=JSON.parse(document.getElementById('words').textContent);
function esc(s){return String(s).replace(/[&<>"']/g,c=>'&#'+c.charCodeAt(0)+';');}
function time(t){return t?t.slice(0,19).replace('T',' '):'';}
function age(s){s=Math.floor(s);return s<60?s+' 秒前':s<3600?Math.floor(s/60)+' 分钟前':Math.floor(s/3600)+' 小时前';}
function value(q,unit){
  if(!q.time)return ['—',''];
  if(q.result!=='answered')return [esc(W.failures[q.result]||W.failures['no-reply'])+'（连续 '+q.failuresInRow+' 次）','failed'];
  if(q.valueText==='OL')return ['OL（超出量程）',q.old?'old':''];
  return [esc(q.valueText)+' '+unit,q.old?'old':''];}
function when(q){return q.time?[time(q.time)+'（'+age(q.age)+'）',q.old?'old':'']:['—',''];}
function cell(label,k,c){return '<td data-label="'+label+'" class="'+k+(c[1]?' '+c[1]:'')+'">'+c[0]+'</td>';}
function alarm(d){
  const a=[];if(d.alarm)a.push('高于上限');
  if(d.noAnswer||d.asideSince)a.push('无应答'+(d.asideSince?'，自 '+time(d.asideSince):''));
  return a.length?a.join('；'):'—';}
function row(d){
  return '<tr data-address="'+d.address+'"'+(d.alarm||d.noAnswer?' class="alarm"':'')+'>'+
    cell('地址','n',[d.address,''])+cell('电阻','r',value(d.resistance,'Ω'))+
    cell('电阻时间','rt',when(d.resistance))+cell('电压','v',value(d.voltage,'V'))+
    cell('电压时间','vt',when(d.voltage))+cell('报警','a',[alarm(d),''])+'</tr>';}
function summary(s){
  const line=s.line.open?esc(s.line.address)+' 已打开':'<span class="bad">'+esc(s.line.address)+' 已断开'+(s.line.lostSince?'，自 '+time(s.line.lostSince):'')+'</span>';
  const b=s.broker;
  const broker=!b.used?'未使用':(b.connected?'已连接':'<span class="bad">未连接</span>')+'，待发送 '+b.queued+' 条，已丢弃 '+b.dropped+' 条';
  const r=s.record;
  const record=r.path===null?'不记录':esc(r.path)+(r.ok?' 正常写入':' <span class="bad">无法写入记录文件</span>')+(r.rowsNotKept>0?'，'+r.rowsNotKept+' 行结果未记入记录':'');
  const a=[];if(s.alarms>0)a.push(s.alarms+' 个检测器的接地电阻高于上限');
  if(s.noAnswerAlarms>0)a.push(s.noAnswerAlarms+' 个检测器无应答');
  const alarms=a.length?'<span class="bad">'+a.join('；')+'</span>':'无';
  return '<dt>站点</dt><dd id="site">'+esc(s.site)+'</dd><dt>线路</dt><dd id="line">'+line+'</dd><dt>MQTT</dt><dd id="broker">'+broker+'</dd><dt>记录文件</dt><dd id="record">'+record+'</dd><dt>报警</dt><dd id="alarms">'+alarms+'</dd>';}
async function refresh(){
  try{
    const r=await fetch('/api/status',{cache:'no-store'});
    if(!r.ok)throw new Error(r.status);
    const s=await r.json();
    const ds=s.detectors.slice().sort((a,b)=>((b.alarm||b.noAnswer)-(a.alarm||a.noAnswer))||(a.address-b.address));
    document.getElementById('summary').innerHTML=summary(s);
    document.getElementById('rows').innerHTML=ds.map(row).join('');
    document.getElementById('refreshed').textContent='更新于 '+time(s.time);
  }catch(e){
    document.getElementById('refreshed').textContent='更新失败，显示的是 '+W.last+' 的状态';
  }
  W.last=document.getElementById('refreshed').textContent.replace('更新于 ','');
}
setInterval(refresh,W.every);
})();
)";

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&#38;"; break;
      case '<': out += "&#60;"; break;
      case '>': out += "&#62;"; break;
      case '"': out += "&#34;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}


std::string Age(double seconds) {
  const long long s = static_cast<long long>(std::floor(seconds));
  if (s < 60) return std::to_string(s) + " 秒前";
  if (s < 3600) return std::to_string(s / 60) + " 分钟前";
  return std::to_string(s / 3600) + " 小时前";
}

// A cell's text and its mark ("failed", "old" or none).
struct Cell {
  std::string text;
  std::string_view mark;
};

Cell ValueCell(Quantity quantity, const QuantityState& q, ViewClock& clock) {
  if (!WasRead(q)) return {"—", ""};
  const std::string_view old = clock.IsOld(q) ? "old" : "";
  if (q.lastResult != Result::kAnswered || !q.lastValue) {
    return {Escape(FailureWords(q.lastResult)) + "（连续 " + std::to_string(q.failuresInRow) + " 次）",
            "failed"};
  }
  if (q.lastValue->overRange) return {"OL（超出量程）", old};
  return {Escape(ValueText(quantity, *q.lastValue)) + " " + std::string(FormOf(quantity).unit),
          old};
}

Cell TimeCell(const QuantityState& q, ViewClock& clock) {
  if (!WasRead(q)) return {"—", ""};
  return {clock.DisplayText(*q.lastTime) + "（" + Age(clock.AgeSeconds(*q.lastTime)) + "）",
          clock.IsOld(q) ? "old" : ""};
}

std::string Td(std::string_view label, std::string_view kind, const Cell& cell) {
  return "<td data-label=\"" + std::string(label) + "\" class=\"" + std::string(kind) +
         (cell.mark.empty() ? "" : " " + std::string(cell.mark)) + "\">" + cell.text + "</td>";
}

// The alarms that stand: the resistance above its limit, the detector not answering (since it
// was set aside).
std::string AlarmText(const DetectorState& d, ViewClock& clock) {
  std::string text = d.alarm ? "高于上限" : "";
  if (d.noAnswer || d.asideSince) {
    if (!text.empty()) text += "；";
    text += "无应答";
    if (d.asideSince && d.asideSince->isValid()) text += "，自 " + clock.DisplayText(*d.asideSince);
  }
  return text.empty() ? "—" : text;
}

bool Alarmed(const DetectorState& d) {
  return d.alarm || d.noAnswer;
}

std::string Row(int address, const DetectorState& d, ViewClock& clock) {
  return "<tr data-address=\"" + std::to_string(address) + "\"" +
         (Alarmed(d) ? " class=\"alarm\"" : "") + ">" +
         Td("地址", "n", {std::to_string(address), ""}) +
         Td("电阻", "r", ValueCell(Quantity::kResistance, d.resistance, clock)) +
         Td("电阻时间", "rt", TimeCell(d.resistance, clock)) +
         Td("电压", "v", ValueCell(Quantity::kVoltage, d.voltage, clock)) +
         Td("电压时间", "vt", TimeCell(d.voltage, clock)) +
         Td("报警", "a", {AlarmText(d, clock), ""}) + "</tr>";
}

std::string Summary(const SiteSnapshot& s, ViewClock& clock) {
  const std::string address = Escape(s.line.address);
  const std::string line =
      s.line.open ? address + " 已打开"
                  : "<span class=\"bad\">" + address + " 已断开" +
                        (s.line.lostSince.isValid() ? "，自 " + clock.DisplayText(s.line.lostSince) : "") +
                        "</span>";
  const BrokerState& b = s.broker;
  const std::string broker =
      !b.used ? "未使用"
              : (b.connected ? "已连接" : "<span class=\"bad\">未连接</span>") + std::string("，待发送 ") +
                    std::to_string(b.queued) + " 条，已丢弃 " + std::to_string(b.dropped) + " 条";
  const RecordState& r = s.record;
  const std::string record =
      r.path.isEmpty()
          ? "不记录"
          : Escape(r.path.toStdString()) +
                (r.failing ? " <span class=\"bad\">无法写入记录文件</span>" : " 正常写入") +
                (r.rowsNotKept > 0 ? "，" + std::to_string(r.rowsNotKept) + " 行结果未记入记录"
                                   : "");
  const int raised = s.AlarmsRaised();
  const int silent = s.NoAnswerRaised();
  std::string standing = raised > 0 ? std::to_string(raised) + " 个检测器的接地电阻高于上限" : "";
  if (silent > 0) {
    standing += (standing.empty() ? "" : "；") + std::to_string(silent) + " 个检测器无应答";
  }
  const std::string alarms =
      standing.empty() ? "无" : "<span class=\"bad\">" + standing + "</span>";
  return "<dt>站点</dt><dd id=\"site\">" + Escape(s.site) + "</dd><dt>线路</dt><dd id=\"line\">" +
         line + "</dd><dt>MQTT</dt><dd id=\"broker\">" + broker +
         "</dd><dt>记录文件</dt><dd id=\"record\">" + record +
         "</dd><dt>报警</dt><dd id=\"alarms\">" + alarms + "</dd>";
}

constexpr Result kResults[] = {Result::kAnswered,  Result::kRefused,  Result::kWrongReply,
                               Result::kCorrupt,   Result::kNoReply,  Result::kLineLost,
                               Result::kNotSent};

// The words the script needs, as JSON: each failure's, and the refresh's interval.
std::string Words(ViewClock& clock) {
  std::string failures;
  for (Result result : kResults) {
    if (!failures.empty()) failures += ',';
    failures += JsonString(ResultName(result)) + ":" + JsonString(FailureWords(result));
  }
  // "</" cannot end the script's data early: JsonString leaves "/" as it is, and no word has "<".
  return "{\"failures\":{" + failures + "},\"every\":" + std::to_string(kPageRefresh.count()) +
         ",\"last\":" + JsonString(clock.DisplayText(clock.Moment().now)) + "}";
}

}  // namespace

std::string_view FailureWords(Result result) {
  switch (result) {
    case Result::kAnswered:
      return "查询成功！";
    case Result::kRefused:
      return "拒绝";
    case Result::kCorrupt:
      return "回复损坏";
    case Result::kWrongReply:
      return "回复不符";
    case Result::kLineLost:
      return "串口断开";
    case Result::kNoReply:
    case Result::kNotSent:
      break;
  }
  return "查询失败！";
}

std::string PageHtml(const SiteSnapshot& site, const ViewMoment& moment) {
  ViewClock clock(moment);
  std::vector<std::pair<int, const DetectorState*>> rows;
  for (const auto& [address, detector] : site.detectors) rows.emplace_back(address, &detector);
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return Alarmed(*a.second) && !Alarmed(*b.second); });
  std::string body;
  for (const auto& [address, detector] : rows) body += Row(address, *detector, clock);
  return "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
         "<title>Karvello " +
         Escape(site.site) + "</title><style>" + std::string(kStyle) +
         "</style></head><body><h1>Karvello 站点 " + Escape(site.site) +
         "</h1><p id=\"refreshed\">更新于 " + clock.DisplayText(moment.now) + "</p><dl id=\"summary\">" +
         Summary(site, clock) +
         "</dl><table><thead><tr><th>地址</th><th>电阻</th><th>电阻时间</th><th>电压</th>"
         "<th>电压时间</th><th>报警</th></tr></thead><tbody id=\"rows\">" +
         body +
         "</tbody></table><p id=\"legend\">橙色：读数失败；灰色斜体：读数已超过 " +
         std::to_string(kOldAfterPeriods) +
         " 个周期；红色：接地电阻高于上限，或检测器无应答。</p><script type=\"application/json\" id=\"words\">" +
         Words(clock) + "</script><script>" + std::string(kScript) + "</script></body></html>\n";
}

}  // namespace karvello::gateway
