//+------------------------------------------------------------------+
//| HalvaneGuard.mq4: an expert advisor that holds the account to    |
//| the day's verdict. It asks for today's status on a timer (never  |
//| on a tick), shows the verdict on the chart and, while enforcing: |
//| closes every position and deletes every pending order once the   |
//| daily drawdown limit is hit; closes what is opened while new     |
//| trades are not allowed (quiz not done, no verified answer, a     |
//| refusal, zero volume); and cuts each symbol's open volume down   |
//| to the allowed volume. Positions held before trading stopped     |
//| being allowed are kept. Attach it to one chart; install it into  |
//| MQL4\Experts, with Halvane.mqh in MQL4\Include.                  |
//+------------------------------------------------------------------+
#property description "Holds the account to the day's verdict of the trading-discipline service."
#property strict
#include <Halvane.mqh>

input string InpUserKey = "";       // user key issued by the service
input double InpUsualVolume = 1.0;  // the usual volume per symbol, in lots
input int    InpCheckMinutes = 5;   // minutes between two status requests
input bool   InpEnforce = true;     // close and cut what the verdict does not allow

HalvaneStatus g_status;       // the last reading; no verdict until the first one
string        g_problem = "";  // why no status could be asked for
datetime      g_nextCheck = 0;
int           g_utcDay = -1;
datetime      g_blockedSince = 0;  // server time since which new trades are not allowed
input int    InpSlippage = 10;     // slippage allowed when closing, in points

int OnInit()
  {
   HalvaneReadStatus("", g_status);  // no verdict yet: no new trades
   g_blockedSince = TimeCurrent();
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

// Enforcing needs no call to the module: it runs on every tick too, so that what is opened
// is closed at once.
void OnTick()
  {
   Enforce();
  }

//--- Takes a new reading; records when new trades stopped being allowed.
void SetStatus(const string result)
  {
   const bool wasAllowed = HalvaneTradingAllowed(g_status);
   HalvaneReadStatus(result, g_status);
   if(wasAllowed && !HalvaneTradingAllowed(g_status))
      g_blockedSince = TimeCurrent();
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
   HalvaneGetTodayStatus(InpUserKey, IntegerToString(AccountNumber()), (long)TimeCurrent(), g_status);
   if(wasAllowed && !HalvaneTradingAllowed(g_status))
      g_blockedSince = TimeCurrent();
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

//--- Closes `lots` of the selected order at its closing price.
bool CloseLots(const double lots)
  {
   RefreshRates();
   return OrderClose(OrderTicket(), lots, OrderClosePrice(), InpSlippage);
  }

void Enforce()
  {
   if(!InpEnforce)
      return;
   const bool allowed = HalvaneTradingAllowed(g_status);
   const bool stop = g_status.outcome == HALVANE_OK && g_status.completed && g_status.drawdownHit;
   string symbols[];
   double used[];
   // Tickets first: closing an order renumbers the rest. The first listed keep their volume.
   int tickets[];
   ArrayResize(tickets, OrdersTotal());
   for(int i = 0; i < ArraySize(tickets); i++)
      tickets[i] = OrderSelect(i, SELECT_BY_POS, MODE_TRADES) ? OrderTicket() : -1;
   for(int i = 0; i < ArraySize(tickets); i++)
     {
      if(tickets[i] < 0 || !OrderSelect(tickets[i], SELECT_BY_TICKET) || OrderCloseTime() != 0)
         continue;
      const string symbol = OrderSymbol();
      const double volume = OrderLots();
      const bool fresh = !allowed && OrderOpenTime() >= g_blockedSince;
      if(OrderType() > OP_SELL)
        {
         // A pending order: deleted when it could open what is not allowed.
         if((stop || fresh) && OrderDelete(OrderTicket()))
            PrintFormat("halvane guard: deleted pending order %d: %s", OrderTicket(), Verdict());
         continue;
        }
      if(stop || fresh)
        {
         if(CloseLots(volume))
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
      if(CloseLots(keep > 0.0 ? NormalizeDouble(volume - keep, 8) : volume))
         PrintFormat("halvane guard: cut %s from %.2f to %.2f lots, the allowed volume", symbol, volume, keep);
      Use(symbol, keep, symbols, used);
     }
  }
//+------------------------------------------------------------------+
