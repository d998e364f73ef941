//+------------------------------------------------------------------+
//| HalvaneGuard.mq5: an expert advisor that holds the account to    |
//| the day's verdict. It asks for today's status on a timer (never  |
//| on a tick), shows the verdict on the chart and, while enforcing: |
//| closes every position and deletes every pending order once the   |
//| daily drawdown limit is hit; closes what is opened while new     |
//| trades are not allowed (quiz not done, no verified answer, a     |
//| refusal, zero volume); and cuts each symbol's open volume down   |
//| to the allowed volume. Positions held before trading stopped     |
//| being allowed are kept. Attach it to one chart; install it into  |
//| MQL5\Experts, with Halvane.mqh in MQL5\Include.                  |
//+------------------------------------------------------------------+
#property description "Holds the account to the day's verdict of the trading-discipline service."
#include <Halvane.mqh>
#include <Trade\Trade.mqh>

input string InpUserKey = "";       // user key issued by the service
input double InpUsualVolume = 1.0;  // the usual volume per symbol, in lots
input int    InpCheckMinutes = 5;   // minutes between two status requests
input bool   InpEnforce = true;     // close and cut what the verdict does not allow

HalvaneStatus g_status;       // the last reading; no verdict until the first one
string        g_problem = "";  // why no status could be asked for
datetime      g_nextCheck = 0;
int           g_utcDay = -1;
datetime      g_blockedSince = 0;  // server time since which new trades are not allowed
CTrade        g_trade;

int OnInit()
  {
   HalvaneReadStatus("", g_status);  // no verdict yet: no new trades
   g_blockedSince = TimeTradeServer();
   // The first look runs from the timer, ten seconds from now: OnInit must not block.
   EventSetTimer(10);
   g_nextCheck = 0;
   ShowVerdict();
   return INIT_SUCCEEDED;
  }

void OnDeinit(const int reason)
  {
   EventKillTimer();
   Comment("");
  }

void OnTimer()
  {
   MqlDateTime utc;
   TimeToStruct(TimeGMT(), utc);
   // The verdict is for the UTC day: a new day starts without one.
   if(utc.day_of_year != g_utcDay || TimeGMT() >= g_nextCheck)
     {
      if(utc.day_of_year != g_utcDay)
         SetStatus("");
      g_utcDay = utc.day_of_year;
      CheckStatus();
      g_nextCheck = TimeGMT() + 60 * (InpCheckMinutes > 1 ? InpCheckMinutes : 1);
     }
   Enforce();
   ShowVerdict();
  }

void OnTradeTransaction(const MqlTradeTransaction &transaction, const MqlTradeRequest &request,
                        const MqlTradeResult &result)
  {
   Enforce();
  }

//--- Takes a new reading; records when new trades stopped being allowed.
void SetStatus(const string result)
  {
   const bool wasAllowed = HalvaneTradingAllowed(g_status);
   HalvaneReadStatus(result, g_status);
   if(wasAllowed && !HalvaneTradingAllowed(g_status))
      g_blockedSince = TimeTradeServer();
  }

void CheckStatus()
  {
   g_problem = "";
   if(!TerminalInfoInteger(TERMINAL_DLLS_ALLOWED) || !MQLInfoInteger(MQL_DLLS_ALLOWED))
      g_problem = "DLL imports are not allowed: allow them in Tools > Options > Expert Advisors and for this expert";
   else if(InpUserKey == "")
      g_problem = "no user key: enter it in the expert's inputs";
   if(g_problem != "")
     {
      SetStatus("");
      return;
     }
   const bool wasAllowed = HalvaneTradingAllowed(g_status);
   HalvaneGetTodayStatus(InpUserKey, IntegerToString(AccountInfoInteger(ACCOUNT_LOGIN)), (long)TimeCurrent(), g_status);
   if(wasAllowed && !HalvaneTradingAllowed(g_status))
      g_blockedSince = TimeTradeServer();
  }

string Verdict()
  {
   if(g_problem != "")
      return "NO NEW TRADES: " + g_problem;
   switch(g_status.outcome)
     {
      case HALVANE_ERROR:
         return "NO NEW TRADES: no usable answer from the service (run halvane-cli --trace, see the README)";
      case HALVANE_SIGNATURE_INVALID:
         return "NO NEW TRADES: the service's reply did not verify (the DLL and the service do not share a key)";
      case HALVANE_REFUSED:
         return "NO NEW TRADES: the service refused: " + g_status.message;
      default:
         break;
     }
   if(!g_status.completed)
      return "NO NEW TRADES: today's quiz is not done yet (run the HalvaneDay script)";
   if(g_status.drawdownHit)
      return "NO NEW TRADES: the daily drawdown limit is hit";
   if(!HalvaneTradingAllowed(g_status))
      return StringFormat("NO NEW TRADES: %s, %.0f%% of the usual volume", g_status.readiness, g_status.volumePercent);
   return StringFormat("trading allowed: %s, %.0f%% of the usual volume, %s at most %.2f lots", g_status.readiness,
                       g_status.volumePercent, _Symbol, HalvaneAllowedVolume(g_status, _Symbol, InpUsualVolume));
  }

void ShowVerdict()
  {
   Comment("halvane guard (UTC day ", TimeToString(TimeGMT(), TIME_DATE), "): ", Verdict(),
           InpEnforce ? "" : "\nnot enforcing: nothing is closed");
  }

//--- Room left for a symbol's volume, tracked across its positions.
double Room(const string symbol, string &symbols[], double &used[])
  {
   int i = 0;
   for(; i < ArraySize(symbols); i++)
      if(symbols[i] == symbol)
         break;
   if(i == ArraySize(symbols))
     {
      ArrayResize(symbols, i + 1);
      ArrayResize(used, i + 1);
      symbols[i] = symbol;
      used[i] = 0.0;
     }
   return HalvaneAllowedVolume(g_status, symbol, InpUsualVolume) - used[i];
  }

void Use(const string symbol, const double volume, string &symbols[], double &used[])
  {
   for(int i = 0; i < ArraySize(symbols); i++)
      if(symbols[i] == symbol)
         used[i] += volume;
  }

void Enforce()
  {
   if(!InpEnforce)
      return;
   const bool allowed = HalvaneTradingAllowed(g_status);
   const bool stop = g_status.outcome == HALVANE_OK && g_status.completed && g_status.drawdownHit;
   string symbols[];
   double used[];
   // Tickets first: closing a position renumbers the rest. The first listed keep their volume.
   ulong tickets[];
   ArrayResize(tickets, PositionsTotal());
   for(int i = 0; i < ArraySize(tickets); i++)
      tickets[i] = PositionGetTicket(i);
   for(int i = 0; i < ArraySize(tickets); i++)
     {
      const ulong ticket = tickets[i];
      if(ticket == 0 || !PositionSelectByTicket(ticket))
         continue;
      const string symbol = PositionGetString(POSITION_SYMBOL);
      const double volume = PositionGetDouble(POSITION_VOLUME);
      if(stop || (!allowed && (datetime)PositionGetInteger(POSITION_TIME) >= g_blockedSince))
        {
         if(g_trade.PositionClose(ticket))
            PrintFormat("halvane guard: closed %s %.2f lots: %s", symbol, volume, Verdict());
         continue;
        }
      if(!allowed)
         continue;
      const double room = Room(symbol, symbols, used);
      if(volume <= room + 1e-9)
        {
         Use(symbol, volume, symbols, used);
         continue;
        }
      const double keep = HalvaneRoundVolume(room, SymbolInfoDouble(symbol, SYMBOL_VOLUME_STEP),
                                             SymbolInfoDouble(symbol, SYMBOL_VOLUME_MIN));
      const bool done = keep > 0.0 ? g_trade.PositionClosePartial(ticket, NormalizeDouble(volume - keep, 8))
                                   : g_trade.PositionClose(ticket);
      if(done)
         PrintFormat("halvane guard: cut %s from %.2f to %.2f lots, the allowed volume", symbol, volume, keep);
      Use(symbol, keep, symbols, used);
     }
   for(int i = OrdersTotal() - 1; i >= 0; i--)
     {
      const ulong ticket = OrderGetTicket(i);
      if(ticket != 0 && (stop || (!allowed && (datetime)OrderGetInteger(ORDER_TIME_SETUP) >= g_blockedSince)) &&
         g_trade.OrderDelete(ticket))
         PrintFormat("halvane guard: deleted pending order %I64u: %s", ticket, Verdict());
     }
  }
//+------------------------------------------------------------------+
