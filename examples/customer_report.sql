-- Monthly customer revenue report.
SET NOCOUNT ON;

SELECT c.CustomerID,
       c.CustomerName,
       SUM(o.Amount) AS Revenue,
       COUNT(*) AS Orders
FROM dbo.Customers AS c
INNER JOIN dbo.Orders AS o ON o.CustomerID = c.CustomerID
WHERE o.OrderDate >= DATEADD(MONTH, -1, GETDATE())
GROUP BY c.CustomerID, c.CustomerName
ORDER BY Revenue DESC;
